// Python classes RunAsync and AsyncHandle, and run_async(): a decorator that runs a Python
// function as a task of the shared runtime and hands back a handle to its outcome.
#include "core/task/async_task_py.hpp"

#include "py/args.hpp"
#include "py/exit_safe.hpp"
#include "py/gil.hpp"
#include "py/kept_thread_state.hpp"
#include "py/method.hpp"
#include "py/signals.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include "core/manager/task_registry.hpp"
#include "core/task/async_task.hpp"
#include "core/task/task_wait.hpp"
#include "base/console.hpp"
#include "runtime/block_on.hpp"
#include "base/fork.hpp"
#include "runtime/runtime.hpp"
#include "base/thread.hpp"

#include <utility>

namespace quorix {
namespace {

using State = AsyncTaskState<py::Ref>;

PyTypeObject* RUN_ASYNC_TYPE = nullptr;
PyTypeObject* ASYNC_HANDLE_TYPE = nullptr;

// ---- the call, run by the task body -------------------------------------------------

// The outcome of a task whose body could no longer take the interpreter lock.
constexpr std::string_view NOT_CALLED_AT_EXIT = "Interpreter is exiting: the task's function was not called";

/// Frees a state that nobody else holds; needs the interpreter lock. The result object is
/// taken out first and dropped outside any noexcept frame (see drop_reference).
void delete_state(State* state) {
    py::Ref result;
    if (state->result.value) result = std::move(*state->result.value);
    delete state;
    py::drop_reference(result);
}

/// Frees a state that the task let go of last, on a blocking-pool thread: run there directly
/// by the task's own job, or as a job of its own when the task ends elsewhere.
struct DisposeJob {
    State* state;
    void operator()() const {
        if (!py::interpreter_alive()) return;
        rt::ApplicationSignalMask signals;
        (void)py::pool_thread_state().with_lock([this] { delete_state(state); });
    }
};

/// The body's Python side: the function and its arguments until the call, and the
/// disposal of the shared state when the body lets go of it last.
class PyCall {
public:
    PyCall(py::Ref func, py::Ref args) noexcept : func_(std::move(func)), args_(std::move(args)) {}
    PyCall(PyCall&&) noexcept = default;
    PyCall& operator=(PyCall&&) = delete;
    // References still held here could only be dropped without the interpreter lock (the
    // frame dies on a worker): leak them instead. call() normally released them already.
    ~PyCall() {
        (void)func_.release();
        (void)args_.release();
    }

    // Not noexcept, and neither is anything between here and the runtime: at interpreter
    // exit, taking the lock (also inside the call) may unwind this thread.
    CallOutcome<py::Ref> call(bool run) {
        CallOutcome<py::Ref> out;
        std::exception_ptr failure;
        rt::ApplicationSignalMask signals;  // what the function starts inherits the usual mask
        // Without the lock (the interpreter exits) the call is skipped, the task fails and the
        // references leak.
        const bool held = py::pool_thread_state().with_lock([&] {
            if (run) {
                py::Ref value = py::Ref::steal(PyObject_Call(func_.get(), args_.get(), nullptr));
                if (value) {
                    out.value = std::move(value);
                } else {
                    // Described here, with the lock, before the outcome's slots are taken.
                    try {
                        out.error = py::describe_current_exception();
                    } catch (const std::exception&) {
                        failure = std::current_exception();  // thrown once the lock is let go
                    }
                }
            }
            py::drop_reference(func_);
            py::drop_reference(args_);
        });
        if (failure) std::rethrow_exception(failure);
        if (!held && run) out.error = std::string(NOT_CALLED_AT_EXIT);
        return out;
    }

    // The last reference to the state was dropped on a pool thread, which may take the lock.
    static void dispose_here(State* state) { DisposeJob{state}(); }

    // The body let go of the state last (on a worker, which must not wait for the lock):
    // free it on the blocking pool with the lock held, or leak it at exit.
    static void dispose(State* state) {
        if (!py::interpreter_alive()) return;
        rt::runtime().spawn_blocking(DisposeJob{state}).detach();
    }

private:
    py::Ref func_;
    py::Ref args_;
};

// ---- AsyncHandle --------------------------------------------------------------------

/// The handle's reference to the shared state.
class StateRef {
public:
    explicit StateRef(State* s) noexcept : s_(s) {}
    StateRef(StateRef&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    StateRef& operator=(StateRef&&) = delete;
    // Only reached with a reference left when creating the handle failed, in the Python
    // thread that tried, with the lock held.
    ~StateRef() {
        if (State* last = release()) delete last;
    }
    /// Lets go of the reference; the state if it was the last one (the caller frees it).
    [[nodiscard]] State* release() noexcept {
        State* s = std::exchange(s_, nullptr);
        return s && s->drop_ref() ? s : nullptr;
    }
    State* operator->() const noexcept { return s_; }
    State& operator*() const noexcept { return *s_; }
    State* get() const noexcept { return s_; }

private:
    State* s_;
};

/// The result object once the body has finished, else null. The body stores the result
/// without the interpreter lock (on free-threaded builds even while a collection has the
/// other threads stopped) and sets `completed` only after it let go of the slot for good:
/// from then on the slot belongs to the handle alone.
py::Ref* finished_result(State* s) noexcept {
    if (!s || !s->completed.load() || !s->result.value) return nullptr;
    return &*s->result.value;
}

struct PyAsyncHandle {
    StateRef state;
    TaskSlot slot;  // the join handle's slot, shared with the registry entry
    TaskId id;

    // A result that refers back to its handle makes a cycle; only a finished task's result
    // is the collector's business (a running body's references are outside its view).
    int traverse(visitproc visit, void* arg) const {
        const py::Ref* result = finished_result(state.get());
        return result ? py::visit_ref(*result, visit, arg) : 0;
    }
    // Unreachable, so no fetch runs meanwhile; later fetches would find no result.
    void clear() {
        State* s = state.get();
        if (!finished_result(s)) return;
        py::Ref old = std::move(*s->result.value);
        s->result.value.reset();  // the slot is empty again, not holding a null reference
    }
};

PyAsyncHandle& handle_of(PyObject* self) { return py::payload<PyAsyncHandle>(self); }

rt::Task<rt::AsyncMutexGuard> lock_slot_async(rt::AsyncMutex& m) { co_return co_await m.lock(); }

/// Locks a slot's mutex from synchronous code. The lock is usually free; otherwise the
/// body is storing its outcome, which takes no other lock, so waiting with the
/// interpreter lock held is safe (held_wait detaches on free-threaded builds).
rt::AsyncMutexGuard lock_slot(rt::AsyncMutex& m) {
    if (auto guard = m.try_lock()) return std::move(*guard);
    return py::held_wait([&] { return rt::run_blocking(lock_slot_async(m)); });
}

/// The stored outcome: RuntimeError with the error text, else the result (the same object
/// every time), else None. The slots are taken one at a time, error first.
py::Ref fetch(State& s) {
    std::optional<std::string> error;
    {
        rt::AsyncMutexGuard guard = lock_slot(s.error.mutex);
        error = s.error.value;  // a copy: the text stays for later fetches
    }
    if (error) py::raise_text(PyExc_RuntimeError, *error);  // NULs and lone surrogates come back too
    rt::AsyncMutexGuard guard = lock_slot(s.result.mutex);
    if (s.result.value) return s.result.value->clone();
    return py::none();
}

/// In a process forked after the runtime started, a task that had not finished at the fork
/// never will: its body ran on a thread the child does not have.
void check_not_forked_away(const State& s) {
    if (!s.completed.load()) rt::check_not_forked_after_start();
}

constexpr py::ArgTable IS_DONE_ARGS{"AsyncHandle.is_done()", {}, 0};
constexpr py::ArgTable IS_COMPLETED_ARGS{"AsyncHandle.is_completed()", {}, 0};
constexpr py::ArgTable IS_CANCELLED_ARGS{"AsyncHandle.is_cancelled()", {}, 0};
constexpr py::ArgTable CANCEL_ARGS{"AsyncHandle.cancel()", {}, 0};
constexpr py::ArgTable TRY_RESULT_ARGS{"AsyncHandle.try_result()", {}, 0};
constexpr py::ArgTable WAIT_ARGS{"AsyncHandle.wait()", {"timeout_ms"}, 0};

bool is_done_impl(const PyAsyncHandle& h) { return h.state->completed.load() || h.state->cancelled.load(); }
bool is_completed_impl(const PyAsyncHandle& h) { return h.state->completed.load(); }
bool is_cancelled_impl(const PyAsyncHandle& h) { return h.state->cancelled.load(); }

void cancel_impl(PyAsyncHandle& h) {
    h.state->cancelled.store(true);  // a mark only: a running call goes on
    h.state->finished.notify();      // but waiters return at once
}

py::Ref try_result_impl(PyAsyncHandle& h) {
    check_not_forked_away(*h.state);
    return fetch(*h.state);
}

/// The longest one sleep of a wait may last off the main thread (a bound for the clock
/// arithmetic only: the end of the task wakes the sleep at once).
constexpr std::chrono::hours LONGEST_WAIT_SLEEP{1};

/// How long a wait first watches for the task's end before it sleeps: a short task ends
/// within it, and neither side then pays for waking a sleeping thread (tens of microseconds
/// when its processor idles).
constexpr std::chrono::microseconds WAIT_SPIN{50};

py::Ref wait_impl(PyAsyncHandle& h, std::optional<std::uint64_t> timeout_ms) {
    State& s = *h.state;
    check_not_forked_away(s);
    const auto start = std::chrono::steady_clock::now();
    if (!s.completed.load()) {
        // Reached from a task's function, the task waited for may be queued behind it:
        // its thread stops counting towards the blocking pool's bound meanwhile.
        rt::BlockingSection section;
        // On the main thread the sleep is cut into slices, to run Ctrl+C's handler in time.
        const std::chrono::nanoseconds slice =
            py::on_main_thread() ? std::chrono::nanoseconds(py::SIGNAL_CHECK_INTERVAL) : LONGEST_WAIT_SLEEP;
        std::chrono::nanoseconds spin = WAIT_SPIN;  // the first sleep only
        for (;;) {
            const std::uint32_t seen = s.finished.seq();  // before the flags: no end is missed
            if (s.completed.load() || s.cancelled.load()) break;
            const auto sleep = next_wait_sleep(timeout_ms, std::chrono::steady_clock::now() - start, slice);
            if (!sleep) py::raise(PyExc_TimeoutError, "Async task wait timed out");
            py::detached([&] {  // the call needs the lock
                s.finished.spin_then_wait_for(seen, *sleep,
                                              std::exchange(spin, std::chrono::nanoseconds::zero()));
            });
            py::run_signal_handlers();  // Ctrl+C ends the wait on the main thread
        }
    }
    return fetch(s);
}

TaskId task_id_impl(const PyAsyncHandle& h) { return h.id; }

PyObject* handle_repr(PyObject* self) {
    const PyAsyncHandle& h = handle_of(self);
    const char* status = async_status_text(h.state->completed.load(), h.state->cancelled.load());
    return PyUnicode_FromFormat("AsyncHandle(id=%llu, status=%s)", static_cast<unsigned long long>(h.id),
                                status);
}

void handle_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);  // what follows may run a collection: not on this object
    PyAsyncHandle& h = handle_of(self);
    if (!h.state->completed.load() && !h.state->cancelled.load()) {
        write_stderr("Warning: AsyncHandle(id=" + std::to_string(h.id) +
                     ") dropped while task still running. Consider calling handle.cancel() or "
                     "handle.wait() before dropping.\n");
    }
    task_manager().unregister(h.id);
    // The state may hold the result object: freed here, with the interpreter lock held,
    // unless the body still holds it (it then frees it under the lock itself).
    if (State* last = h.state.release()) delete_state(last);
    py::dealloc<PyAsyncHandle>(self);
}

PyMethodDef ASYNC_HANDLE_METHODS[] = {
    py::method<IS_DONE_ARGS, is_done_impl>("is_done",
                                           "is_done($self)\n--\n\n检查任务是否已结束（成功、失败或已取消）"),
    py::method<IS_COMPLETED_ARGS, is_completed_impl>("is_completed",
                                                     "is_completed($self)\n--\n\n检查任务是否已成功完成"),
    py::method<IS_CANCELLED_ARGS, is_cancelled_impl>("is_cancelled",
                                                     "is_cancelled($self)\n--\n\n检查任务是否已被取消"),
    py::method<CANCEL_ARGS, cancel_impl>("cancel",
                                         "cancel($self)\n--\n\n"
                                         "取消任务\n\n"
                                         "只将任务标记为已取消，不会中断正在运行的代码。"),
    py::method<TRY_RESULT_ARGS, try_result_impl>(
        "try_result",
        "try_result($self)\n--\n\n"
        "尝试获取结果（非阻塞）\n\n"
        "返回:\n    任务尚未结束时返回 None，否则返回函数的返回值\n\n"
        "异常:\n    RuntimeError: 任务执行失败"),
    py::method<WAIT_ARGS, wait_impl>("wait",
                                     "wait($self, timeout_ms=None)\n--\n\n"
                                     "等待任务完成并返回结果\n\n"
                                     "参数:\n    timeout_ms: 超时时间（毫秒），None 表示无限等待\n\n"
                                     "返回:\n    函数的返回值\n\n"
                                     "异常:\n    TimeoutError: 等待超时\n    RuntimeError: 任务执行失败"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ASYNC_HANDLE_GETSET[] = {
    py::getter<task_id_impl>("task_id", "任务的唯一标识符"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- RunAsync -----------------------------------------------------------------------

struct PyRunAsync {
    vectorcallfunc vectorcall;  // instances are vectorcall-callable
    py::Ref func;

    int traverse(visitproc visit, void* arg) const { return py::visit_ref(func, visit, arg); }
    // None rather than null: a cleared object can still be called (by a finalizer of its
    // cycle), and its task then fails like that of any object that is not callable.
    void clear() { py::Ref old = std::exchange(func, py::none()); }
};

PyObject* run_async_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

constexpr py::ArgTable RUN_ASYNC_NEW_ARGS{"RunAsync.__new__()", {"func"}, 1};
constexpr py::ArgTable RUN_ASYNC_CALL_KEYWORDS{"RunAsync.__call__()", {}, 0};
constexpr py::ArgTable RUN_ASYNC_FN_ARGS{"run_async()", {"func"}, 1};

py::Ref new_run_async(PyTypeObject* type, PyObject* func) {
    return py::new_object<PyRunAsync>(type, PyRunAsync{run_async_vectorcall, py::Ref::borrow(func)});
}

PyObject* run_async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple<RUN_ASYNC_NEW_ARGS>(args, kwargs);
        return new_run_async(type, a.raw(0));
    });
}

py::Ref args_tuple(PyObject* const* args, Py_ssize_t nargs) {
    py::Ref tuple = py::check(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, py::Ref::borrow(args[i]).release());
    return tuple;
}

py::Ref start_task(PyObject* func, PyObject* const* args, Py_ssize_t nargs) {
    py::install_exit_gate();               // the bodies take the lock on other threads
    rt::Runtime& runtime = rt::runtime();  // may raise PanicException: nothing allocated yet
    const TaskId id = next_task_id();
    PyCall call(py::Ref::borrow(func), args_tuple(args, nargs));
    auto* state = new State();
    StateRef handle_ref(state);  // the handle's reference; the body owns the other
    const TaskSlot slot = launch_async_task(runtime, task_manager(), id, state, std::move(call));
    try {
        return py::new_object<PyAsyncHandle>(ASYNC_HANDLE_TYPE, std::move(handle_ref), slot, id);
    } catch (...) {
        task_manager().unregister(id);  // no handle will ever remove the entry
        throw;
    }
}

PyObject* run_async_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return py::guarded([&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        // Any keyword is refused before an id is drawn or a task started; the parser
        // names the first one.
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
            py::parse<RUN_ASYNC_CALL_KEYWORDS>(args + nargs, 0, kwnames);
        return start_task(py::payload<PyRunAsync>(self).func.get(), args, nargs);
    });
}

PyObject* run_async_repr(PyObject*) { return PyUnicode_FromString("RunAsync(...)"); }

py::Ref run_async_fn_impl(py::Ref func) { return new_run_async(RUN_ASYNC_TYPE, func.get()); }

}  // namespace

constexpr py::TypeTable ASYNC_HANDLE_TABLE{
    .name = "builtins.AsyncHandle",
    .doc = "异步任务句柄\n\n用于查询和控制异步执行的函数。不能从 Python 直接创建。",
    .basicsize = sizeof(py::Object<PyAsyncHandle>),
    .dealloc = handle_dealloc,
    .repr = handle_repr,
    .methods = ASYNC_HANDLE_METHODS,
    .getset = ASYNC_HANDLE_GETSET,
    .cache = &ASYNC_HANDLE_TYPE,
    .traverse = py::traverse<PyAsyncHandle>,
    .clear = py::clear<PyAsyncHandle>,
};

constexpr py::TypeTable RUN_ASYNC_TABLE{
    .name = "builtins.RunAsync",
    .doc =
        "RunAsync(func)\n--\n\n"
        "异步任务装饰器\n\n"
        "在独立的异步任务中运行被装饰的函数，调用时立即返回 AsyncHandle。\n\n"
        "示例:\n"
        "    @RunAsync\n"
        "    def compute(x):\n"
        "        return x * 2\n\n"
        "    handle = compute(21)\n"
        "    result = handle.wait()  # 42",
    .basicsize = sizeof(py::Object<PyRunAsync>),
    .dealloc = py::dealloc<PyRunAsync>,
    .new_fn = run_async_new,
    .repr = run_async_repr,
    .call = PyVectorcall_Call,
    .vectorcall_offset = offsetof(py::Object<PyRunAsync>, value) + offsetof(PyRunAsync, vectorcall),
    .cache = &RUN_ASYNC_TYPE,
    .traverse = py::traverse<PyRunAsync>,
    .clear = py::clear<PyRunAsync>,
};

PyMethodDef RUN_ASYNC_DEF =
    py::function<RUN_ASYNC_FN_ARGS, run_async_fn_impl>("run_async",
                                                       "run_async(func)\n--\n\n"
                                                       "创建异步任务的便捷函数\n\n"
                                                       "它本身就是装饰器，直接用于函数定义。\n\n"
                                                       "示例:\n"
                                                       "    @run_async\n"
                                                       "    def my_task(x):\n"
                                                       "        return x * 2\n\n"
                                                       "    handle = my_task(21)\n"
                                                       "    print(handle.wait())  # 42");

}  // namespace quorix
