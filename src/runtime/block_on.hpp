#pragma once

// Synchronous entry into the shared runtime, and how a worker hands its seat over before it
// blocks.

#include <type_traits>
#include <utility>

#include "runtime/park_hook.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace quorix::rt {

/// Runs `task` to completion on the calling thread and returns its result (or rethrows its
/// exception). Wake-ups of the task come back to this thread, which sleeps in between;
/// timers and fd readiness are served by the shared runtime's reactor, which is created if
/// needed. Throws Panic on a thread that holds a worker seat: a worker must not block (use
/// run_blocking there).
template <class T>
T block_on_runtime(Task<T> task) {
    return runtime().block_on(std::move(task));
}

/// On a thread that holds a worker seat, first hands the seat to a spare or new worker
/// thread so the workers keep their number and no queued task starves; then, on any
/// thread, block_on_runtime(task). The thread gets a seat back (or becomes a spare that
/// exits when idle) once the task it was running suspends or ends.
template <class T>
T run_blocking(Task<T> task) {
    return runtime().run_blocking(std::move(task));
}

/// True on a worker thread of any Runtime that holds its seat (it runs the run queue).
bool on_worker_thread() noexcept;

/// Declares that the current thread is about to block outside the runtime (waiting for the
/// Python interpreter lock, a system call that may take long). On a thread that holds a
/// worker seat, the constructor hands the seat to a spare or new worker thread; elsewhere
/// it does nothing. The seat is not taken back when the section ends: the thread finishes
/// the poll of its current task, then rejoins the workers if a seat is free or waits as a
/// spare (and exits after the keep-alive). Not movable; use it as a local.
class BlockingSection {
public:
    BlockingSection();
    ~BlockingSection() = default;
    BlockingSection(const BlockingSection&) = delete;
    BlockingSection& operator=(const BlockingSection&) = delete;
};

/// Runs `fn()` inside a BlockingSection and returns its result.
template <class F>
decltype(auto) block_in_place(F&& fn) {
    BlockingSection section;
    return std::forward<F>(fn)();
}

}  // namespace quorix::rt
