#pragma once

#include "py/ref.hpp"

#include <utility>

namespace quorix::py {

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
