#pragma once

// The shutdown functions, for the module to register.

#include "py/types.hpp"

namespace quorix {

extern PyMethodDef SHUTDOWN_ALL_DEF;
extern PyMethodDef BLOCK_ALL_DEF;
extern PyMethodDef BLOCK_UNTIL_DEF;

}  // namespace quorix
