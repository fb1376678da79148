#pragma once

// A Python thread state that a background thread keeps between its calls into Python.

#include "py/exit_safe.hpp"
#include "py/gil.hpp"
#include "base/prefetch.hpp"
#include "base/thread.hpp"

#include <utility>

namespace quorix::py {

// Kept so that a call costs one lock acquisition and no thread-state creation (which on
// free-threaded builds also sets up and abandons allocator heaps). Created at the first call
// through the exit gate: a thread without a state must not take the lock while the
// interpreter exits. Retaking the lock later may unwind the thread at exit (3.13): nothing
// on that path is noexcept and nothing releases the lock on the way out.
class KeptThreadState {
public:
    KeptThreadState() = default;
    KeptThreadState(const KeptThreadState&) = delete;
    KeptThreadState& operator=(const KeptThreadState&) = delete;

    // A blocking-pool thread's state goes when the thread ends (it idled out), through the
    // gate again; once the interpreter has begun to exit it is left alone.
    ~KeptThreadState() {
        if (!state_ || !interpreter_alive()) return;
        rt::ApplicationSignalMask signals;
        GilGuard gil;  // holds the lock from here on: nothing below retakes it
        if (!gil.held()) return;
        state_ = nullptr;
        PyGILState_Release(PyGILState_LOCKED);  // the kept hold; `gil` drops the last one
    }

    /// Runs `fn` with the interpreter lock held on the calling thread (always the same one
    /// for a given object). False, without running it, when the interpreter is exiting
    /// (also once the exit gate has closed, as for threads without a state).
    template <class F>
    bool with_lock(F&& fn) {
        if (!interpreter_alive() || exit_gate_closed()) return false;
        if (state_) {
            PyEval_RestoreThread(state_);
            fn();
            PyEval_SaveThread();
            return true;
        }
        GilGuard gil;
        if (!gil.held()) return false;
        (void)PyGILState_Ensure();  // a nested hold keeps the state alive when `gil` lets go
        state_ = PyThreadState_Get();
        fn();
        return true;
    }

    /// Runs `fn` with the lock held, then deletes the state; on the state's own thread. False
    /// when there is no state or the interpreter is exiting (nothing is run then).
    template <class F>
    bool finish(F&& fn) {
        if (!state_ || !interpreter_alive()) return false;
        PyEval_RestoreThread(std::exchange(state_, nullptr));
        fn();
        PyGILState_Release(PyGILState_UNLOCKED);  // the last hold: deletes the state, drops the lock
        return true;
    }

    /// Prefetch hints for the kept state's first lines, without the lock (a hint reads
    /// nothing); nothing when there is none.
    void prefetch() const noexcept {
        if (state_) prefetch_lines(state_, 8);
    }

private:
    PyThreadState* state_ = nullptr;
};

/// The state the calling blocking-pool thread keeps for the calls it makes (timer ticks,
/// task functions, disposals); deleted when the thread ends.
inline KeptThreadState& pool_thread_state() {
    thread_local KeptThreadState state;
    return state;
}

}  // namespace quorix::py
