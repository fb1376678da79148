#pragma once

// Taking the interpreter lock, and dropping references, on background threads that the
// interpreter may tear down at exit: a thread that (re)takes the lock while the
// interpreter finalizes is stopped there (3.13 unwinds it with a forced unwind, 3.14 parks
// it). An unwind must then pass through our frames: none of them may be noexcept, and none
// may release a lock that the thread no longer holds.

#include "py/ref.hpp"

namespace quorix::py {

/// Like GilGuard, for background threads (check interpreter_alive() first). If the thread
/// is being unwound from inside the lock's acquisition (by Python code that released and
/// retook it, at exit), its thread state is no longer current and the destructor leaves it
/// alone instead of releasing a lock it does not hold (a fatal error).
class ExitSafeGil {
public:
    ExitSafeGil() : state_(PyGILState_Ensure()) {}
    ~ExitSafeGil() {
        if (PyGILState_Check()) PyGILState_Release(state_);
    }
    ExitSafeGil(const ExitSafeGil&) = delete;
    ExitSafeGil& operator=(const ExitSafeGil&) = delete;

private:
    PyGILState_STATE state_;
};

/// Drops the reference held by `r` (lock held). The object's finalizer may run Python code
/// that releases and retakes the lock, so at exit this call may unwind the thread; unlike
/// ~Ref and Ref::reset it is not noexcept, so the unwind passes.
inline void drop_reference(Ref& r) noexcept(false) {
    PyObject* p = r.release();
    Py_XDECREF(p);
}

}  // namespace quorix::py
