#pragma once

// The task registry's Python class and function, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern const py::TypeTable TASK_MANAGER_TABLE;
extern PyMethodDef GET_TASK_MANAGER_DEF;

}  // namespace quorix
