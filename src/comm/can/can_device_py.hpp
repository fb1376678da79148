#pragma once

// The CAN devices' Python classes, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern const py::TypeTable CAN_DEVICE_TABLE;
extern const py::TypeTable CAN_DEVICE_NON_BLOCKING_TABLE;

}  // namespace quorix
