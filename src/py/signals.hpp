#pragma once

// Waits of the module that Ctrl+C can end: the interpreter runs Python-level signal handlers
// only on its main thread and only when asked, so a wait in C asks every few milliseconds.

#include "py/errors.hpp"
#include "py/ref.hpp"

#include <chrono>

namespace quorix::py {

/// The longest a wait on the main thread sleeps between two runs of the signal handlers.
inline constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{2};

/// Runs the interpreter's pending signal handlers (lock held). On the main thread a
/// Ctrl+C raises KeyboardInterrupt here: what a handler raises is left set and PyErrorSet
/// thrown. On other threads nothing runs and nothing is thrown.
inline void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
}

/// True on the process's main thread, where the interpreter runs signal handlers.
bool on_main_thread() noexcept;

/// Sleeps `duration` with the interpreter lock released (lock held on entry and exit). On
/// the main thread it takes the lock back every SIGNAL_CHECK_INTERVAL to run pending
/// signal handlers, and what they raise ends the sleep (PyErrorSet).
void sleep_running_signal_handlers(std::chrono::nanoseconds duration);

}  // namespace quorix::py
