#pragma once

// The timers' Python classes and functions, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern const py::TypeTable PRECISION_TIMER_TABLE;
extern const py::TypeTable TIMER_TABLE;
extern const py::TypeTable TIMER_HANDLE_TABLE;
extern const py::TypeTable TIMER_WRAPPER_TABLE;
extern PyMethodDef TIMER_FN_DEF;
extern PyMethodDef PRECISION_TIMER_FN_DEF;

}  // namespace quorix
