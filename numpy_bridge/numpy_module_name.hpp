// Where NumPy keeps its core extension module: "numpy._core" since NumPy 2,
// "numpy.core" before.
#pragma once

#include "errors/result.hpp"

namespace molvenar {

// "numpy._core.multiarray" or "numpy.core.multiarray", computed on first
// need from NumPy's major version and kept for the process.
Result<const char*> multiarray_module_name() noexcept;

}  // namespace molvenar
