// The one place that includes the interpreter's header, so that every unit
// sees the same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
