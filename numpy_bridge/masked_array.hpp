// Recognising NumPy's masked arrays, which acceptance refuses: the kernels
// read the values alone, so a masked value would count as a valid one.
#pragma once

#include "errors/python.hpp"

namespace molvenar {

// The type is numpy.ma.MaskedArray or a subclass of it. Asked only of
// ndarray subclasses. numpy.ma is looked up in sys.modules, never imported:
// while it has not been imported no masked array can exist. GIL held.
bool is_masked_array_type(PyTypeObject* type) noexcept;

}  // namespace molvenar
