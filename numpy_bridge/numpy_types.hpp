// NumPy's object layouts, without its API header: the module never links
// NumPy and takes the few functions it calls from the API table at run time.
#pragma once

#include "errors/python.hpp"

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#endif
#include "numpy/ndarraytypes.h"

namespace molvenar {

// The descriptor as NumPy 2 lays it out (elsize is pointer-wide). Which name
// the header gives it depends on the feature level it was included for.
#if NPY_FEATURE_VERSION >= NPY_2_0_API_VERSION
using Numpy2Descriptor = PyArray_Descr;
#else
using Numpy2Descriptor = _PyArray_DescrNumPy2;
#endif
// The descriptor as NumPy 1 lays it out (elsize is an int).
using Numpy1Descriptor = PyArray_DescrProto;

// The fields of an array object; PyArrayObject itself shows only the header.
inline PyArrayObject_fields* array_fields(PyArrayObject* array) noexcept {
    return reinterpret_cast<PyArrayObject_fields*>(array);
}

}  // namespace molvenar
