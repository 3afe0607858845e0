// The four callables' entry routines, in the interpreter's fast-call form.
#pragma once

#include "errors/python.hpp"

namespace molvenar {

PyObject* indicator_sma_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* indicator_ema_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* indicator_macd_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;
PyObject* indicator_atr_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

}  // namespace molvenar
