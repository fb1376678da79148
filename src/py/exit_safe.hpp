#pragma once

// Taking the interpreter lock, and dropping references, on background threads that may
// still run while the interpreter exits.
//
// A thread without a thread state that calls PyGILState_Ensure while the interpreter
// finalizes may touch interpreter structures that are being freed (seen as a crash on
// 3.13t), and a check of Py_IsFinalizing() just before the call cannot close that window.
// So the first acquisition goes through a gate: an `atexit` callback (run while other
// threads may still take the lock) closes it and waits, with the lock released, until no
// thread is between its check and PyGILState_Ensure. From then on background threads take
// nothing. A thread that already holds a thread state and retakes the lock later (Python
// code that released it) is stopped by the interpreter: 3.13 unwinds it with a forced
// unwind, 3.14 parks it. An unwind must pass through our frames: none of them may be
// noexcept, and none may release a lock that the thread no longer holds.

#include "py/ref.hpp"

namespace quorix::py {

/// Registers the exit gate's `atexit` callback once per process; needs the lock. Call it
/// before starting background work that will take the lock. Throws PyErrorSet.
void install_exit_gate();

/// True once the gate has closed: background work makes no new calls into Python.
bool exit_gate_closed() noexcept;

/// Takes the interpreter lock on a background thread, unless the interpreter has begun to
/// exit (the gate is closed, or it finalizes): then it takes nothing and held() is false,
/// and the caller must skip its Python work (leaking what it would have released).
/// If the thread is unwound while it holds the lock (see above), its thread state is no
/// longer current and the destructor leaves it alone instead of releasing a lock that it
/// does not hold (a fatal error).
class GilGuard {
public:
    GilGuard();
    ~GilGuard() {
        if (held_ && PyGILState_Check()) PyGILState_Release(state_);
    }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

    bool held() const noexcept { return held_; }

private:
    PyGILState_STATE state_{};
    bool held_ = false;
};

/// Drops the reference held by `r` (lock held). The object's finalizer may run Python code
/// that releases and retakes the lock, so at exit this call may unwind the thread; unlike
/// ~Ref and Ref::reset it is not noexcept, so the unwind passes.
inline void drop_reference(Ref& r) noexcept(false) {
    PyObject* p = r.release();
    Py_XDECREF(p);
}

}  // namespace quorix::py
