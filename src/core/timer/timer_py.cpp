// Python classes Timer, PrecisionTimer, TimerWrapper, TimerHandle and the functions timer()
// and precision_timer(): the decorators validate a frequency, the wrapper starts timers, the
// handle stops and inspects one.
#include "py/args.hpp"
#include "py/exit_safe.hpp"
#include "py/gil.hpp"
#include "py/kept_thread_state.hpp"
#include "py/types.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>
#include "core/manager/task_registry.hpp"
#include "runtime/console.hpp"
#include "core/timer/decimal_text.hpp"
#include "core/timer/dedicated_timer.hpp"
#include "core/timer/normal_timer.hpp"
#include "core/timer/period.hpp"
#include "core/timer/precision_sleep.hpp"
#include "core/timer/timer_precision.hpp"
#include "module/entries.hpp"
#include "runtime/runtime.hpp"
#include "runtime/thread.hpp"

namespace quorix::module {
namespace {

PyTypeObject* TIMER_TYPE = nullptr;
PyTypeObject* PRECISION_TIMER_TYPE = nullptr;
PyTypeObject* TIMER_WRAPPER_TYPE = nullptr;
PyTypeObject* TIMER_HANDLE_TYPE = nullptr;

constexpr std::string_view COROUTINE_WARNING =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited and will "
    "likely fail to execute properly. Please use a synchronous function.\n";

// ---- the tick call ------------------------------------------------------------------------

// One timer's callable and argument tuple. Each call takes the interpreter lock for the call
// only and passes the tuple's items by vectorcall, allocating nothing of its own. A dedicated
// timer thread keeps its own thread state, deleted by release() on that thread; Normal calls
// use the state of the pool thread they land on. A dedicated thread's call notes, with the
// lock held, where the callable's parts lie, so that prepare() can prefetch them without it.
class PyTimerCall final : public TimerCall {
public:
    PyTimerCall(py::Ref func, py::Ref args, bool own_thread)
        : func_(std::move(func)),
          args_(std::move(args)),
          items_(PySequence_Fast_ITEMS(args_.get())),
          nargs_(PyTuple_GET_SIZE(args_.get())),
          own_thread_(own_thread) {}

    // Without release() the references can't be dropped safely (the thread is being unwound
    // at exit, or the interpreter is going away): leak them.
    ~PyTimerCall() override {
        (void)func_.release();
        (void)args_.release();
    }

    bool call() override {
        rt::ApplicationSignalMask signals;  // what the function starts inherits the usual mask
        return (own_thread_ ? own_state_ : py::pool_thread_state()).with_lock([this] { invoke(); });
    }

    void prepare() noexcept override {
        (void)py::interpreter_alive();  // what with_lock reads first
        (void)py::exit_gate_closed();
        own_state_.prefetch();
        for (std::size_t i = 0; i < warm_count_; ++i) prefetch_lines(warm_[i].at, warm_[i].lines);
    }

    void release() override {
        if (!func_ || !py::interpreter_alive()) return;  // released already, or too late: leak
        rt::ApplicationSignalMask signals;
        if (own_state_.finish([this] { drop_references(); })) return;
        py::GilGuard gil;  // a pool thread, or a start that failed on the calling thread
        if (gil.held()) drop_references();
    }

private:
    void invoke() {
        PyObject* r =
            nargs_ == 0 ? PyObject_CallNoArgs(func_.get())
                        : PyObject_Vectorcall(func_.get(), items_, static_cast<std::size_t>(nargs_), nullptr);
        if (own_thread_) note_warm_set();
        if (!r) return report_error();
        py::Ref result = py::Ref::steal(r);
        py::drop_reference(result);  // its finalizer may run Python code: not from a destructor
    }

    // With the lock held: the objects the next call reads first (a Python function's code,
    // globals, closure cells and what they hold), for prepare().
    void note_warm_set() noexcept {
        std::size_t n = 0;
        const auto add = [&](const void* at, std::uint8_t lines) {
            if (at && n < warm_.size()) warm_[n++] = {at, lines};
        };
        PyObject* f = func_.get();
        add(f, 3);
        if (nargs_) add(args_.get(), 1);
        if (PyFunction_Check(f)) {
            add(PyFunction_GET_CODE(f), 4);
            add(PyFunction_GET_GLOBALS(f), 1);
            if (PyObject* closure = PyFunction_GET_CLOSURE(f)) {
                add(closure, 1);
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
                    PyObject* cell = PyTuple_GET_ITEM(closure, i);
                    add(cell, 1);
                    add(PyCell_GET(cell), 1);
                }
            }
        }
        warm_count_ = n;
    }

    void drop_references() {
        py::drop_reference(func_);
        py::drop_reference(args_);
    }

    [[gnu::cold]] static void report_error() {
        try {
            write_stderr("Timer function error: " + py::describe_current_exception_for_console() + "\n");
        } catch (const std::exception&) {
            PyErr_Clear();  // out of memory while describing it: the line is lost, the timer goes on
        }
    }

    py::Ref func_;
    py::Ref args_;
    PyObject* const* items_;
    Py_ssize_t nargs_;
    bool own_thread_;
    py::KeptThreadState own_state_;  // own_thread_ only
    struct Warm {
        const void* at;
        std::uint8_t lines;
    };
    std::array<Warm, 12> warm_{};  // own_thread_ only, on the timer thread: written with the lock
    std::size_t warm_count_ = 0;
};

// ---- payloads ----------------------------------------------------------------------------

struct PyTimer {
    double frequency_hz;
};

struct PyPrecisionTimer {
    double frequency_hz;
    bool realtime;
};

struct PyTimerWrapper {
    py::Ref func;
    double frequency_hz;
    TimerPrecision precision;

    // Running timers hold clones of `func` of their own, outside the collector's view.
    int traverse(visitproc visit, void* arg) const { return py::visit_ref(func, visit, arg); }
    // None rather than null: a cleared wrapper can still be called (by a finalizer of its
    // cycle), and its timer then reports each call's TypeError.
    void clear() { py::Ref old = std::exchange(func, py::Ref::borrow(Py_None)); }
};

struct PyTimerHandle {
    Instant start;
    RunningFlag running;
    std::shared_ptr<TaskHandleSlot> handle;
    std::shared_ptr<ThreadSlot> thread_handle;
    TickCounter tick_count;
    TaskId task_id;
    double frequency_hz;
    TimerPrecision precision;
};

// ---- argument checks ----------------------------------------------------------------------

constexpr py::ArgTable TIMER_NEW_ARGS{"Timer.__new__()", {"frequency_hz"}, 1};
constexpr py::ArgTable PRECISION_TIMER_NEW_ARGS{"PrecisionTimer.__new__()", {"frequency_hz", "realtime"}, 1};
constexpr py::ArgTable TIMER_FN_ARGS{"timer()", {"frequency_hz"}, 1};
constexpr py::ArgTable PRECISION_TIMER_FN_ARGS{"precision_timer()", {"frequency_hz", "realtime"}, 1};
constexpr py::ArgTable TIMER_CALL_ARGS{"Timer.__call__()", {"func"}, 1};
constexpr py::ArgTable PRECISION_TIMER_CALL_ARGS{"PrecisionTimer.__call__()", {"func"}, 1};
constexpr py::ArgTable NO_ARGS_STOP{"TimerHandle.stop()", {}, 0};
constexpr py::ArgTable NO_ARGS_IS_RUNNING{"TimerHandle.is_running()", {}, 0};
constexpr py::ArgTable NO_ARGS_FREQUENCY{"TimerHandle.frequency()", {}, 0};
constexpr py::ArgTable NO_ARGS_PRECISION_MODE{"TimerHandle.precision_mode()", {}, 0};
constexpr py::ArgTable NO_ARGS_TICK_COUNT{"TimerHandle.tick_count()", {}, 0};
constexpr py::ArgTable NO_ARGS_ACTUAL_FREQUENCY{"TimerHandle.actual_frequency()", {}, 0};
constexpr py::ArgTable NO_ARGS_ELAPSED_SECS{"TimerHandle.elapsed_secs()", {}, 0};

// `realtime` is a Python bool; numpy's boolean scalar is accepted as well.
bool realtime_flag(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    const char* name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) throw py::PyErrorSet{};
        return truth != 0;
    }
    py::raise_cannot_convert(obj, "PyBool");
}

// NaN fails too.
void check_positive(double frequency_hz) {
    if (!(frequency_hz > 0.0)) py::raise(PyExc_ValueError, "frequency_hz must be positive");
}

PyPrecisionTimer precision_timer_args(const py::Args& a) {
    const double frequency_hz = a.get<double>(0);
    const bool realtime = a.raw(1) ? a.with_context<bool>(1, [&] { return realtime_flag(a.raw(1)); }) : false;
    check_positive(frequency_hz);
    if (frequency_hz > 10000.0 && !realtime)
        py::raise(PyExc_ValueError, "frequency > 10kHz requires realtime=True");
    return {frequency_hz, realtime};
}

py::Ref new_timer(PyTypeObject* type, double frequency_hz) {
    check_positive(frequency_hz);
    return py::new_object<PyTimer>(type, PyTimer{frequency_hz});
}

// ---- Timer, PrecisionTimer, timer(), precision_timer() -----------------------------------

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple(TIMER_NEW_ARGS, args, kwargs);
        return new_timer(type, a.get<double>(0));
    });
}

PyObject* precision_timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple(PRECISION_TIMER_NEW_ARGS, args, kwargs);
        return py::new_object<PyPrecisionTimer>(type, precision_timer_args(a));
    });
}

PyObject* timer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(TIMER_FN_ARGS, args, nargs, kwnames);
        return new_timer(TIMER_TYPE, a.get<double>(0));
    });
}

PyObject* precision_timer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(PRECISION_TIMER_FN_ARGS, args, nargs, kwnames);
        return py::new_object<PyPrecisionTimer>(PRECISION_TIMER_TYPE, precision_timer_args(a));
    });
}

py::Ref new_wrapper(PyObject* func, const char* not_callable, double frequency_hz, TimerPrecision precision) {
    if (!PyCallable_Check(func)) py::raise(PyExc_TypeError, not_callable);
    return py::new_object<PyTimerWrapper>(TIMER_WRAPPER_TYPE,
                                          PyTimerWrapper{py::Ref::borrow(func), frequency_hz, precision});
}

PyObject* timer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple(TIMER_CALL_ARGS, args, kwargs);
        return new_wrapper(a.raw(0), "timer decorator requires a callable",
                           py::payload<PyTimer>(self).frequency_hz, TimerPrecision::Normal);
    });
}

PyObject* precision_timer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple(PRECISION_TIMER_CALL_ARGS, args, kwargs);
        const PyPrecisionTimer& t = py::payload<PyPrecisionTimer>(self);
        return new_wrapper(a.raw(0), "precision_timer decorator requires a callable", t.frequency_hz,
                           t.realtime ? TimerPrecision::Realtime : TimerPrecision::High);
    });
}

// ---- starting a timer (TimerWrapper.__call__) ---------------------------------------------

[[noreturn, gnu::cold]] void raise_unusable_period(PeriodError error) {
    if (error == PeriodError::RoundsToZero)
        py::raise(PyExc_ValueError,
                  "frequency_hz is too high for a timer: its period (1 / frequency_hz) rounds to 0 ns");
    py::raise(
        PyExc_ValueError,
        "frequency_hz is too low for a timer: its period (1 / frequency_hz) exceeds the longest supported "
        "period of 2^61 ns (about 73 years)");
}

// Writes the warning when inspect.iscoroutinefunction(func) is True. Any failure on the way is
// discarded and the timer starts anyway.
void warn_if_coroutine_function(PyObject* func) {
    py::Ref inspect = py::Ref::steal(PyImport_ImportModule("inspect"));
    py::Ref result =
        inspect ? py::Ref::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", func))
                : py::Ref();
    if (!result) {
        PyErr_Clear();
        return;
    }
    if (result.get() == Py_True) write_stderr(COROUTINE_WARNING);
}

struct Launched {
    std::shared_ptr<TaskHandleSlot> handle;     // filled for Normal
    std::shared_ptr<ThreadSlot> thread_handle;  // filled for High and Realtime
};

// Starts the thread of a High or Realtime timer, which takes over `call`.
Launched launch_dedicated(std::unique_ptr<PyTimerCall> call, TaskId id, TimerPrecision precision,
                          std::chrono::nanoseconds period, const RunningFlag& running,
                          const TickCounter& ticks) {
    Launched out;
    std::unique_ptr<DedicatedLoop> loop;
    std::string name;
    try {  // everything that allocates comes before the thread: nothing to undo once it runs
        out.handle = std::make_shared<TaskHandleSlot>();  // stays empty: no runtime task
        out.thread_handle = std::make_shared<ThreadSlot>();
        loop = std::make_unique<DedicatedLoop>(
            DedicatedLoop{running, ticks, nullptr, period, spin_window(precision), &task_manager()});
        name = timer_thread_name(id, precision);
    } catch (...) {
        call->release();  // this thread holds the interpreter lock
        throw;
    }
    loop->call = std::move(call);
    auto thread = spawn_dedicated_timer(std::move(name), std::move(loop));  // releases the call on failure
    if (!thread) throw Panic("Failed to spawn timer thread: " + thread.error().text);
    std::lock_guard lock(out.thread_handle->mutex);  // new and unshared: never waits
    out.thread_handle->thread = *thread;
    return out;
}

// Spawns the loop of a Normal timer on the shared runtime. Works on any thread, a runtime
// worker included (a timer started by an async task's function): the task slot is filled
// without waiting for its lock.
Launched launch_normal(std::unique_ptr<PyTimerCall> owned, TaskId id, std::chrono::nanoseconds period,
                       const RunningFlag& running, const TickCounter& ticks) {
    std::shared_ptr<PyTimerCall> call = std::move(owned);
    Launched out;
    try {
        out.thread_handle = std::make_shared<ThreadSlot>();  // stays empty
        rt::Runtime& runtime = rt::runtime();                // created on first use; Panic if it can't be
        out.handle =
            spawn_normal_timer(NormalLoop{&runtime, running, ticks, call, period, &task_manager(), id});
        return out;
    } catch (...) {
        call->release();  // nothing was launched; this thread holds the interpreter lock
        throw;
    }
}

py::Ref start_timer(const PyTimerWrapper& w, PyObject* args) {
    const TaskId id = next_task_id();  // used up even if the start fails below
    py::install_exit_gate();           // the loop takes the lock on other threads
    auto call =
        std::make_unique<PyTimerCall>(w.func.clone(), py::Ref::borrow(args), has_own_thread(w.precision));
    std::chrono::nanoseconds period{};
    RunningFlag running;
    TickCounter ticks;
    try {
        const auto p = period_from_frequency(w.frequency_hz);
        if (const auto* error = std::get_if<PeriodError>(&p)) raise_unusable_period(*error);
        period = std::get<std::chrono::nanoseconds>(p);
        warn_if_coroutine_function(w.func.get());
        running = std::make_shared<std::atomic<bool>>(true);
        ticks = std::make_shared<std::atomic<std::uint64_t>>(0);
    } catch (...) {
        call->release();  // this thread holds the interpreter lock: the references go now
        throw;
    }
    const Instant start = monotonic_now();
    Launched launched = has_own_thread(w.precision)
                            ? launch_dedicated(std::move(call), id, w.precision, period, running, ticks)
                            : launch_normal(std::move(call), id, period, running, ticks);
    // The loop runs already: its first call may happen before the registration.
    task_manager().register_task(id, running, launched.handle, TaskKind::Timer);
    try {
        return py::new_object<PyTimerHandle>(
            TIMER_HANDLE_TYPE,
            PyTimerHandle{start, running, std::move(launched.handle), std::move(launched.thread_handle),
                          ticks, id, w.frequency_hz, w.precision});
    } catch (...) {
        // No handle will ever stop this timer: do what destroying one would.
        running->store(false, std::memory_order_seq_cst);
        task_manager().unregister(id);
        throw;
    }
}

[[noreturn, gnu::cold]] void raise_unexpected_keyword(PyObject* kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyDict_Next(kwargs, &pos, &key, &value);
    PyErr_Format(PyExc_TypeError, "TimerWrapper.__call__() got an unexpected keyword argument '%U'", key);
    throw py::PyErrorSet{};
}

PyObject* timer_wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) raise_unexpected_keyword(kwargs);
        return start_timer(py::payload<PyTimerWrapper>(self), args);
    });
}

PyObject* timer_wrapper_repr(PyObject* self) {
    return py::guarded([&] {
        const PyTimerWrapper& w = py::payload<PyTimerWrapper>(self);
        const std::string text = "TimerWrapper(frequency=" + plain_shortest_decimal(w.frequency_hz) +
                                 "Hz, mode=" + std::string(python_name(w.precision)) + ")";
        return py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// ---- TimerHandle --------------------------------------------------------------------------

double elapsed_secs_of(const PyTimerHandle& h) {
    const std::int64_t ns = (monotonic_now() - h.start).count();
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

double actual_frequency_of(const PyTimerHandle& h) {
    const double elapsed = elapsed_secs_of(h);
    const double ticks = static_cast<double>(h.tick_count->load(std::memory_order_relaxed));
    return elapsed > 0.0 ? ticks / elapsed : 0.0;
}

void timer_handle_dealloc(PyObject* self) {
    PyTimerHandle& h = py::payload<PyTimerHandle>(self);
    if (h.running->load(std::memory_order_seq_cst)) {
        write_stderr(
            "Warning: TimerHandle(id=" + std::to_string(h.task_id) +
            ") dropped while still running. Make sure to save the handle returned by timer-decorated "
            "functions.\n");
    }
    h.running->store(false, std::memory_order_seq_cst);
    task_manager().unregister(h.task_id);
    py::dealloc<PyTimerHandle>(self);
}

PyObject* timer_handle_repr(PyObject* self) {
    return py::guarded([&] {
        const PyTimerHandle& h = py::payload<PyTimerHandle>(self);
        char buf[768];
        const int n =
            std::snprintf(buf, sizeof buf,
                          "TimerHandle(id=%llu, freq=%.1fHz, actual=%.1fHz, mode=%s, ticks=%llu, running=%s)",
                          static_cast<unsigned long long>(h.task_id), h.frequency_hz, actual_frequency_of(h),
                          std::string(python_name(h.precision)).c_str(),
                          static_cast<unsigned long long>(h.tick_count->load(std::memory_order_relaxed)),
                          h.running->load(std::memory_order_seq_cst) ? "true" : "false");
        if (n >= static_cast<int>(sizeof buf)) {
            // %.1f of a frequency near the largest doubles: format again at full length.
            std::string big(static_cast<std::size_t>(n) + 1, '\0');
            std::snprintf(big.data(), big.size(),
                          "TimerHandle(id=%llu, freq=%.1fHz, actual=%.1fHz, mode=%s, ticks=%llu, running=%s)",
                          static_cast<unsigned long long>(h.task_id), h.frequency_hz, actual_frequency_of(h),
                          std::string(python_name(h.precision)).c_str(),
                          static_cast<unsigned long long>(h.tick_count->load(std::memory_order_relaxed)),
                          h.running->load(std::memory_order_seq_cst) ? "true" : "false");
            return py::check(PyUnicode_FromString(big.c_str()));
        }
        return py::check(PyUnicode_FromStringAndSize(buf, n));
    });
}

template <const py::ArgTable& TABLE, class F>
PyObject* handle_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        F&& body) {
    return py::guarded([&] {
        py::parse(TABLE, args, nargs, kwnames);
        return body(py::payload<PyTimerHandle>(self));
    });
}

py::Ref bool_object(bool v) { return py::Ref::borrow(v ? Py_True : Py_False); }

PyObject* th_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_STOP>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        h.running->store(false, std::memory_order_seq_cst);
        return py::Ref::borrow(Py_None);
    });
}

PyObject* th_is_running(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_IS_RUNNING>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        return bool_object(h.running->load(std::memory_order_seq_cst));
    });
}

PyObject* th_frequency(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_FREQUENCY>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        return py::check(PyFloat_FromDouble(h.frequency_hz));
    });
}

PyObject* th_precision_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_PRECISION_MODE>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        const std::string_view name = python_name(h.precision);
        return py::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    });
}

PyObject* th_tick_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_TICK_COUNT>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        return py::check(PyLong_FromUnsignedLongLong(h.tick_count->load(std::memory_order_relaxed)));
    });
}

PyObject* th_actual_frequency(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_ACTUAL_FREQUENCY>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        return py::check(PyFloat_FromDouble(actual_frequency_of(h)));
    });
}

PyObject* th_elapsed_secs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return handle_method<NO_ARGS_ELAPSED_SECS>(self, args, nargs, kwnames, [](PyTimerHandle& h) {
        return py::check(PyFloat_FromDouble(elapsed_secs_of(h)));
    });
}

PyObject* th_get_task_id(PyObject* self, void*) {
    return py::guarded(
        [&] { return py::check(PyLong_FromUnsignedLongLong(py::payload<PyTimerHandle>(self).task_id)); });
}

// ---- tables -------------------------------------------------------------------------------

PyMethodDef TIMER_HANDLE_METHODS[] = {
    {"stop", py::fastcall(th_stop), METH_FASTCALL | METH_KEYWORDS, "stop($self)\n--\n\n停止定时器"},
    {"is_running", py::fastcall(th_is_running), METH_FASTCALL | METH_KEYWORDS,
     "is_running($self)\n--\n\n检查定时器是否正在运行"},
    {"frequency", py::fastcall(th_frequency), METH_FASTCALL | METH_KEYWORDS,
     "frequency($self)\n--\n\n获取执行频率"},
    {"precision_mode", py::fastcall(th_precision_mode), METH_FASTCALL | METH_KEYWORDS,
     "precision_mode($self)\n--\n\n获取精度模式"},
    {"tick_count", py::fastcall(th_tick_count), METH_FASTCALL | METH_KEYWORDS,
     "tick_count($self)\n--\n\n获取已执行的 tick 次数"},
    {"actual_frequency", py::fastcall(th_actual_frequency), METH_FASTCALL | METH_KEYWORDS,
     "actual_frequency($self)\n--\n\n获取实际平均频率（Hz）"},
    {"elapsed_secs", py::fastcall(th_elapsed_secs), METH_FASTCALL | METH_KEYWORDS,
     "elapsed_secs($self)\n--\n\n获取运行时间（秒）"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef TIMER_HANDLE_GETSET[] = {
    {"task_id", th_get_task_id, nullptr, "获取任务 ID", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* TIMER_DOC =
    "Timer(frequency_hz)\n--\n\n"
    "普通定时器装饰器\n\n"
    "以固定频率重复调用被装饰的函数，精度约 1-10 毫秒。\n\n"
    "参数:\n"
    "    frequency_hz: 执行频率（Hz），例如 10.0 表示每秒执行 10 次\n\n"
    "示例:\n"
    "    @timer(10.0)\n"
    "    def update():\n"
    "        print(\"tick\")\n\n"
    "    handle = update()  # 启动定时器\n"
    "    handle.stop()      # 停止定时器";

constexpr const char* PRECISION_TIMER_DOC =
    "PrecisionTimer(frequency_hz, realtime=False)\n--\n\n"
    "高精度定时器装饰器\n\n"
    "以固定频率重复调用被装饰的函数，精度约 10-100 微秒。\n\n"
    "参数:\n"
    "    frequency_hz: 执行频率（Hz），例如 100.0 表示每秒执行 100 次\n"
    "    realtime: 是否使用实时模式（独立线程，精度更高但占用 CPU）\n\n"
    "示例:\n"
    "    @precision_timer(100.0)  # 高精度模式\n"
    "    def control_loop():\n"
    "        pass\n\n"
    "    @precision_timer(1000.0, realtime=True)  # 1 kHz 实时模式\n"
    "    def fast_loop():\n"
    "        pass";

constexpr py::TypeTable TIMER_TABLE{
    .name = "builtins.Timer",
    .doc = TIMER_DOC,
    .basicsize = sizeof(py::Object<PyTimer>),
    .dealloc = py::dealloc<PyTimer>,
    .new_fn = timer_new,
    .call = timer_call,
    .cache = &TIMER_TYPE,
};

constexpr py::TypeTable PRECISION_TIMER_TABLE{
    .name = "builtins.PrecisionTimer",
    .doc = PRECISION_TIMER_DOC,
    .basicsize = sizeof(py::Object<PyPrecisionTimer>),
    .dealloc = py::dealloc<PyPrecisionTimer>,
    .new_fn = precision_timer_new,
    .call = precision_timer_call,
    .cache = &PRECISION_TIMER_TYPE,
};

constexpr py::TypeTable TIMER_WRAPPER_TABLE{
    .name = "builtins.TimerWrapper",
    .doc = "包装后的定时器函数",
    .basicsize = sizeof(py::Object<PyTimerWrapper>),
    .dealloc = py::dealloc<PyTimerWrapper>,
    .repr = timer_wrapper_repr,
    .call = timer_wrapper_call,
    .cache = &TIMER_WRAPPER_TYPE,
    .traverse = py::traverse<PyTimerWrapper>,
    .clear = py::clear<PyTimerWrapper>,
};

constexpr py::TypeTable TIMER_HANDLE_TABLE{
    .name = "builtins.TimerHandle",
    .doc = "定时器任务句柄\n\n用于控制定时执行的函数",
    .basicsize = sizeof(py::Object<PyTimerHandle>),
    .dealloc = timer_handle_dealloc,
    .repr = timer_handle_repr,
    .methods = TIMER_HANDLE_METHODS,
    .getset = TIMER_HANDLE_GETSET,
    .cache = &TIMER_HANDLE_TYPE,
};

PyMethodDef TIMER_FN_DEF = {"timer", py::fastcall(timer_fn), METH_FASTCALL | METH_KEYWORDS,
                            "timer(frequency_hz)\n--\n\n"
                            "普通定时器装饰器\n\n"
                            "示例:\n"
                            "    @timer(10.0)\n"
                            "    def my_func():\n"
                            "        print(\"tick\")"};

PyMethodDef PRECISION_TIMER_FN_DEF = {"precision_timer", py::fastcall(precision_timer_fn),
                                      METH_FASTCALL | METH_KEYWORDS,
                                      "precision_timer(frequency_hz, realtime=False)\n--\n\n"
                                      "高精度定时器装饰器\n\n"
                                      "参数:\n"
                                      "    frequency_hz: 执行频率（Hz）\n"
                                      "    realtime: 实时模式（独立线程，占用 CPU 但精度最高）\n\n"
                                      "示例:\n"
                                      "    @precision_timer(100.0)  # 高精度模式\n"
                                      "    def control_loop():\n"
                                      "        pass\n\n"
                                      "    @precision_timer(1000.0, realtime=True)  # 1 kHz 实时模式\n"
                                      "    def fast_loop():\n"
                                      "        pass"};

}  // namespace

void add_precision_timer_type(PyObject* module) { py::add_type(module, PRECISION_TIMER_TABLE); }
void add_timer_type(PyObject* module) { py::add_type(module, TIMER_TABLE); }
void add_timer_handle_type(PyObject* module) { py::add_type(module, TIMER_HANDLE_TABLE); }
void add_timer_wrapper_type(PyObject* module) { py::add_type(module, TIMER_WRAPPER_TABLE); }
void add_timer_fn(PyObject* module) { py::add_function(module, &TIMER_FN_DEF); }
void add_precision_timer_fn(PyObject* module) { py::add_function(module, &PRECISION_TIMER_FN_DEF); }

}  // namespace quorix::module
