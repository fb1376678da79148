#pragma once

// The async tasks' Python classes and function, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern const py::TypeTable ASYNC_HANDLE_TABLE;
extern const py::TypeTable RUN_ASYNC_TABLE;
extern PyMethodDef RUN_ASYNC_DEF;

}  // namespace quorix
