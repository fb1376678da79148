#pragma once

#include <Python.h>

namespace quorix::module {

/// Registers the `atexit` callback that waits, with the interpreter lock released and for
/// at most one second, until every frame queued on a non-blocking CAN device is written,
/// and prints "Warning: {} queued CAN frames were not written before exit" on fd 2 when
/// some were not. Needs the lock; throws py::PyErrorSet.
void register_exit_flush();

}  // namespace quorix::module
