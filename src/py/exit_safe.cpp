#include "py/exit_safe.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include "py/errors.hpp"
#include "py/gil.hpp"

namespace quorix::py {
namespace {

// The gate: a Dekker pair with sequentially consistent operations. A background thread
// announces itself in ACQUIRING, then reads EXITING; the atexit callback sets EXITING, then
// reads ACQUIRING. At least one of them sees the other's write: either the thread stays
// out, or the callback waits for it to be through PyGILState_Ensure.
std::atomic<bool> EXITING{false};
std::atomic<int> ACQUIRING{0};
std::atomic<bool> INSTALLED{false};

struct Announce {
    Announce() { ACQUIRING.fetch_add(1, std::memory_order_seq_cst); }
    ~Announce() { ACQUIRING.fetch_sub(1, std::memory_order_seq_cst); }  // also while unwinding
};

// A forked child has only the thread that forked: a thread that was on its way into the
// lock in the parent is not there, and the gate must not wait for it at the child's exit.
extern "C" void forget_acquirers_after_fork() { ACQUIRING.store(0, std::memory_order_seq_cst); }

void wait_for_acquirers() {
    const timespec pause{0, 50'000};
    while (ACQUIRING.load(std::memory_order_seq_cst) != 0) ::nanosleep(&pause, nullptr);
}

PyObject* close_exit_gate(PyObject*, PyObject*) {
    EXITING.store(true, std::memory_order_seq_cst);
    // Released while waiting: the threads we wait for may be waiting for this lock.
    detached(wait_for_acquirers);
    return Ref::borrow(Py_None).release();
}

PyMethodDef CLOSE_EXIT_GATE_DEF = {
    "_quorix_close_exit_gate", close_exit_gate, METH_NOARGS,
    "_quorix_close_exit_gate()\n--\n\n解释器退出时调用：此后后台线程不再获取解释器锁"};

}  // namespace

void install_exit_gate() {
    if (INSTALLED.load(std::memory_order_acquire)) return;
    if (INSTALLED.exchange(true, std::memory_order_acq_rel)) return;
    try {
        Ref fn = check(PyCFunction_New(&CLOSE_EXIT_GATE_DEF, nullptr));
        Ref atexit = check(PyImport_ImportModule("atexit"));
        Ref done = check(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
        static const int AT_FORK = ::pthread_atfork(nullptr, nullptr, &forget_acquirers_after_fork);
        (void)AT_FORK;  // fails only without memory
    } catch (...) {
        INSTALLED.store(false, std::memory_order_release);  // the next caller tries again
        throw;
    }
}

GilGuard::GilGuard() {
    Announce announce;
    if (EXITING.load(std::memory_order_seq_cst) || !interpreter_alive()) return;
    state_ = PyGILState_Ensure();
    held_ = true;
}

}  // namespace quorix::py
