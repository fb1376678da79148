#pragma once

// The motor group's Python classes, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern const py::TypeTable DEVICE_TABLE;
extern const py::TypeTable MOTOR_TABLE;

}  // namespace quorix
