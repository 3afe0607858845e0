// Where NumPy keeps its core extension module: "numpy._core" since NumPy 2,
// "numpy.core" before.
#pragma once

#include "errors/py_ref.hpp"
#include "errors/result.hpp"

namespace molvenar {

// "numpy._core.multiarray" or "numpy.core.multiarray", computed on first
// need from NumPy's major version and kept for the process.
Result<const char*> multiarray_module_name() noexcept;

// A new reference to NumPy's multiarray module.
Result<PyRef> import_multiarray_module() noexcept;

}  // namespace molvenar
