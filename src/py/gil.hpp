#pragma once

#include "py/ref.hpp"

#include <utility>

namespace quorix::py {

/// Takes the interpreter lock on any thread (PyGILState_Ensure). Background threads
/// check `interpreter_alive()` first: at exit the interpreter stops threads that try to
/// take the lock (3.13 unwinds them, 3.14 parks them).
class GilGuard {
public:
    GilGuard() : state_(PyGILState_Ensure()) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

/// False once the interpreter is finalizing: Python work must be skipped from then on.
inline bool interpreter_alive() noexcept { return !Py_IsFinalizing(); }

namespace detail {
// Taking the lock back may unwind the thread (a forced unwind at interpreter exit), so
// this destructor must not be noexcept.
struct Reattach {
    PyThreadState* state;
    ~Reattach() noexcept(false) { PyEval_RestoreThread(state); }
};
}  // namespace detail

/// Runs `action` with the interpreter lock released and takes it back afterwards.
template <class F>
decltype(auto) detached(F&& action) {
    detail::Reattach reattach{PyEval_SaveThread()};
    return std::forward<F>(action)();
}

/// For waits whose contract keeps the interpreter lock: on interpreters with the lock
/// it stays held; on free-threaded interpreters the thread detaches, since an attached
/// thread blocked in C would stall every other thread at the next garbage collection.
template <class F>
decltype(auto) held_wait(F&& action) {
#ifdef Py_GIL_DISABLED
    return detached(std::forward<F>(action));
#else
    return std::forward<F>(action)();
#endif
}

}  // namespace quorix::py
