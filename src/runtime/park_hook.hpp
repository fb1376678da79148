#pragma once

// The park hook: what a thread does around each wait of block_on.

namespace quorix::rt {

/// Wraps each blocking wait of block_on/run_blocking: the hook must call wait(arg) exactly
/// once and may do something around it (the Python binding detaches the thread from the
/// interpreter there on free-threaded builds). The hook may throw (also a forced unwind);
/// block_on then unwinds and destroys the task's frame. It is never called while a task is
/// being polled.
using ParkHook = void (*)(void (*wait)(void*), void* arg);

/// Installs the process-wide park hook (nullptr: none). Any thread; takes effect at the
/// next wait. Meant to be set once at start-up.
void set_park_hook(ParkHook hook) noexcept;
ParkHook park_hook() noexcept;

}  // namespace quorix::rt
