// Python classes Timer, PrecisionTimer, TimerWrapper, TimerHandle and the functions timer()
// and precision_timer(): the decorators validate a frequency, the wrapper starts timers, the
// handle stops and inspects one.
#include "core/timer/timer_py.hpp"

#include "py/args.hpp"
#include "py/exit_safe.hpp"
#include "py/gil.hpp"
#include "py/kept_thread_state.hpp"
#include "py/method.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>
#include "core/manager/task_registry.hpp"
#include "base/console.hpp"
#include "core/timer/decimal_text.hpp"
#include "core/timer/period.hpp"
#include "core/timer/timer_precision.hpp"
#include "core/timer/timer_start.hpp"
#include "runtime/runtime.hpp"
#include "base/thread.hpp"

namespace quorix {
namespace {

PyTypeObject* TIMER_TYPE = nullptr;
PyTypeObject* PRECISION_TIMER_TYPE = nullptr;
PyTypeObject* TIMER_WRAPPER_TYPE = nullptr;
PyTypeObject* TIMER_HANDLE_TYPE = nullptr;

constexpr std::string_view COROUTINE_WARNING =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited and will "
    "likely fail to execute properly. Please use a synchronous function.\n";

// ---- the tick call ------------------------------------------------------------------------

// A function that does nothing, run by a dedicated thread's warm-up. Null (and no warm-up)
// if it can't be made.
py::Ref make_warm_up_function() {
    py::Ref code = py::Ref::steal(Py_CompileString("lambda: None", "<quorix timer warm-up>", Py_eval_input));
    py::Ref globals = py::Ref::steal(code ? PyDict_New() : nullptr);
    py::Ref fn =
        py::Ref::steal(globals ? PyEval_EvalCode(code.get(), globals.get(), globals.get()) : nullptr);
    if (!fn) PyErr_Clear();
    return fn;
}

// One timer's callable and argument tuple. Each call takes the interpreter lock for the call
// only and passes the tuple's items by vectorcall, allocating nothing of its own. A dedicated
// timer thread keeps its own thread state, deleted by release() on that thread; Normal calls
// use the state of the pool thread they land on.
//
// A dedicated thread spins before each call, and meanwhile other work on its processor (the
// kernel, a neighbour) evicts the interpreter's code and data from its caches: the call then
// starts microseconds late. So prepare(), shortly before the call, prefetches what the call
// reads first (noted, with the lock held, by the previous call) and runs a function that does
// nothing, with the lock held for about a microsecond, which brings the interpreter's own
// paths back (taking the lock, a frame, the evaluation loop). The lock is not held while
// spinning. When another thread runs Python, the warm-up waits for the lock in the call's
// place; the call follows at once and takes it back before the waiting thread can.
class PyTimerCall final : public TimerCall {
public:
    PyTimerCall(py::Ref func, py::Ref args, bool own_thread)
        : func_(std::move(func)),
          args_(std::move(args)),
          items_(PySequence_Fast_ITEMS(args_.get())),
          nargs_(PyTuple_GET_SIZE(args_.get())),
          own_thread_(own_thread),
          warm_up_(own_thread ? make_warm_up_function() : py::Ref()) {}

    // Without release() the references can't be dropped safely (the thread is being unwound
    // at exit, or the interpreter is going away): leak them.
    ~PyTimerCall() override {
        (void)func_.release();
        (void)args_.release();
        (void)warm_up_.release();
    }

    bool call() override {
        rt::ApplicationSignalMask signals;  // what the function starts inherits the usual mask
        return (own_thread_ ? own_state_ : py::pool_thread_state()).with_lock([this] { invoke(); });
    }

    void prepare() override {
        own_state_.prefetch();
        for (std::size_t i = 0; i < warm_count_; ++i) prefetch_lines(warm_[i].at, warm_[i].lines);
        if (!warm_up_) {
            (void)py::interpreter_alive();  // what with_lock reads first
            (void)py::exit_gate_closed();
            return;
        }
        (void)own_state_.with_lock([this] {
            if (py::Ref r = py::Ref::steal(PyObject_CallNoArgs(warm_up_.get())); !r) PyErr_Clear();
        });
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
        py::drop_reference(warm_up_);
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
    py::Ref warm_up_;  // own_thread_ only; null when it couldn't be made
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
    void clear() { py::Ref old = std::exchange(func, py::none()); }
};

struct PyTimerHandle {
    StartedTimer timer;
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
constexpr py::ArgTable TIMER_WRAPPER_CALL_KEYWORDS{"TimerWrapper.__call__()", {}, 0};
constexpr py::ArgTable NO_ARGS_STOP{"TimerHandle.stop()", {}, 0};
constexpr py::ArgTable NO_ARGS_IS_RUNNING{"TimerHandle.is_running()", {}, 0};
constexpr py::ArgTable NO_ARGS_FREQUENCY{"TimerHandle.frequency()", {}, 0};
constexpr py::ArgTable NO_ARGS_PRECISION_MODE{"TimerHandle.precision_mode()", {}, 0};
constexpr py::ArgTable NO_ARGS_TICK_COUNT{"TimerHandle.tick_count()", {}, 0};
constexpr py::ArgTable NO_ARGS_ACTUAL_FREQUENCY{"TimerHandle.actual_frequency()", {}, 0};
constexpr py::ArgTable NO_ARGS_ELAPSED_SECS{"TimerHandle.elapsed_secs()", {}, 0};

// `realtime` is a Python bool; numpy's boolean scalar is accepted as well. numpy is not a
// dependency, so its type cannot be imported to compare with: it is known by its name, which
// numpy has kept for its static type ("numpy.bool_" before 2.0, "numpy.bool" since). The
// number protocols are no test: they would let ints and floats through, and those are refused.
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
        auto a = py::parse_tuple<TIMER_NEW_ARGS>(args, kwargs);
        return new_timer(type, a.get<double>(0));
    });
}

PyObject* precision_timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple<PRECISION_TIMER_NEW_ARGS>(args, kwargs);
        return py::new_object<PyPrecisionTimer>(type, precision_timer_args(a));
    });
}

py::Ref timer_fn_impl(double frequency_hz) { return new_timer(TIMER_TYPE, frequency_hz); }

PyObject* precision_timer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse<PRECISION_TIMER_FN_ARGS>(args, nargs, kwnames);
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
        auto a = py::parse_tuple<TIMER_CALL_ARGS>(args, kwargs);
        return new_wrapper(a.raw(0), "timer decorator requires a callable",
                           py::payload<PyTimer>(self).frequency_hz, TimerPrecision::Normal);
    });
}

PyObject* precision_timer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple<PRECISION_TIMER_CALL_ARGS>(args, kwargs);
        const PyPrecisionTimer& t = py::payload<PyPrecisionTimer>(self);
        return new_wrapper(a.raw(0), "precision_timer decorator requires a callable", t.frequency_hz,
                           t.realtime ? TimerPrecision::Realtime : TimerPrecision::High);
    });
}

// ---- starting a timer (TimerWrapper.__call__) ---------------------------------------------

// The period of `frequency_hz`, or ValueError.
std::chrono::nanoseconds usable_period(double frequency_hz) {
    const auto p = period_from_frequency(frequency_hz);
    if (const auto* error = std::get_if<PeriodError>(&p))
        py::raise(PyExc_ValueError, std::string(period_error_text(*error)));
    return std::get<std::chrono::nanoseconds>(p);
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

py::Ref start_timer(const PyTimerWrapper& w, PyObject* args) {
    const TaskId id = next_task_id();  // used up even if the start fails below
    py::install_exit_gate();           // the loop takes the lock on other threads
    auto call =
        std::make_unique<PyTimerCall>(w.func.clone(), py::Ref::borrow(args), has_own_thread(w.precision));
    std::chrono::nanoseconds period{};
    try {
        period = usable_period(w.frequency_hz);
        warn_if_coroutine_function(w.func.get());
    } catch (...) {
        call->release();  // this thread holds the interpreter lock: the references go now
        throw;
    }
    StartedTimer timer = quorix::start_timer(TimerHost{&task_manager(), rt::runtime}, id, w.precision, period,
                                             std::move(call));
    const RunningFlag running = timer.running;
    try {
        return py::new_object<PyTimerHandle>(TIMER_HANDLE_TYPE,
                                             PyTimerHandle{std::move(timer), w.frequency_hz, w.precision});
    } catch (...) {
        stop_and_unregister(task_manager(), id, running);  // no handle will ever stop this timer
        throw;
    }
}

PyObject* timer_wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        // Any keyword is refused before an id is drawn; the parser names the first one.
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0)
            py::parse_tuple<TIMER_WRAPPER_CALL_KEYWORDS>(nullptr, kwargs);
        return start_timer(py::payload<PyTimerWrapper>(self), args);
    });
}

PyObject* timer_wrapper_repr(PyObject* self) {
    return py::guarded([&] {
        const PyTimerWrapper& w = py::payload<PyTimerWrapper>(self);
        const std::string text = "TimerWrapper(frequency=" + plain_shortest_decimal(w.frequency_hz) +
                                 "Hz, mode=" + std::string(python_name(w.precision)) + ")";
        return py::str_object(text);
    });
}

// ---- TimerHandle --------------------------------------------------------------------------

double elapsed_secs_impl(const PyTimerHandle& h) { return elapsed_secs(h.timer.start, monotonic_now()); }

double actual_frequency_impl(const PyTimerHandle& h) {
    const double elapsed = elapsed_secs_impl(h);
    return actual_frequency(h.timer.ticks->load(std::memory_order_relaxed), elapsed);
}

std::uint64_t tick_count_impl(const PyTimerHandle& h) {
    return h.timer.ticks->load(std::memory_order_relaxed);
}

bool is_running_impl(const PyTimerHandle& h) { return h.timer.running->load(std::memory_order_seq_cst); }

void timer_handle_dealloc(PyObject* self) {
    PyTimerHandle& h = py::payload<PyTimerHandle>(self);
    if (is_running_impl(h)) {
        write_stderr(
            "Warning: TimerHandle(id=" + std::to_string(h.timer.id) +
            ") dropped while still running. Make sure to save the handle returned by timer-decorated "
            "functions.\n");
    }
    stop_and_unregister(task_manager(), h.timer.id, h.timer.running);
    py::dealloc<PyTimerHandle>(self);
}

py::Ref timer_handle_repr_impl(const PyTimerHandle& h) {
    char buf[768];
    const auto format = [&](char* out, std::size_t size) {
        return std::snprintf(
            out, size, "TimerHandle(id=%llu, freq=%.1fHz, actual=%.1fHz, mode=%s, ticks=%llu, running=%s)",
            static_cast<unsigned long long>(h.timer.id), h.frequency_hz, actual_frequency_impl(h),
            std::string(python_name(h.precision)).c_str(),
            static_cast<unsigned long long>(tick_count_impl(h)), is_running_impl(h) ? "true" : "false");
    };
    const int n = format(buf, sizeof buf);
    if (n < static_cast<int>(sizeof buf))
        return py::str_object(std::string_view(buf, static_cast<std::size_t>(n)));
    // %.1f of a frequency near the largest doubles: format again at full length.
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    format(big.data(), big.size());
    big.resize(std::strlen(big.c_str()));
    return py::str_object(big);
}

PyObject* timer_handle_repr(PyObject* self) {
    return py::guarded([&] { return timer_handle_repr_impl(py::payload<PyTimerHandle>(self)); });
}

void stop_impl(PyTimerHandle& h) { h.timer.running->store(false, std::memory_order_seq_cst); }
double frequency_impl(const PyTimerHandle& h) { return h.frequency_hz; }
std::string_view precision_mode_impl(const PyTimerHandle& h) { return python_name(h.precision); }
TaskId task_id_impl(const PyTimerHandle& h) { return h.timer.id; }

// ---- tables -------------------------------------------------------------------------------

PyMethodDef TIMER_HANDLE_METHODS[] = {
    py::method<NO_ARGS_STOP, stop_impl>("stop", "stop($self)\n--\n\n停止定时器"),
    py::method<NO_ARGS_IS_RUNNING, is_running_impl>("is_running",
                                                    "is_running($self)\n--\n\n检查定时器是否正在运行"),
    py::method<NO_ARGS_FREQUENCY, frequency_impl>("frequency", "frequency($self)\n--\n\n获取执行频率"),
    py::method<NO_ARGS_PRECISION_MODE, precision_mode_impl>("precision_mode",
                                                            "precision_mode($self)\n--\n\n获取精度模式"),
    py::method<NO_ARGS_TICK_COUNT, tick_count_impl>("tick_count",
                                                    "tick_count($self)\n--\n\n获取已执行的 tick 次数"),
    py::method<NO_ARGS_ACTUAL_FREQUENCY, actual_frequency_impl>(
        "actual_frequency", "actual_frequency($self)\n--\n\n获取实际平均频率（Hz）"),
    py::method<NO_ARGS_ELAPSED_SECS, elapsed_secs_impl>("elapsed_secs",
                                                        "elapsed_secs($self)\n--\n\n获取运行时间（秒）"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef TIMER_HANDLE_GETSET[] = {
    py::getter<task_id_impl>("task_id", "获取任务 ID"),
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

}  // namespace

constexpr py::TypeTable PRECISION_TIMER_TABLE{
    .name = "builtins.PrecisionTimer",
    .doc = PRECISION_TIMER_DOC,
    .basicsize = sizeof(py::Object<PyPrecisionTimer>),
    .dealloc = py::dealloc<PyPrecisionTimer>,
    .new_fn = precision_timer_new,
    .call = precision_timer_call,
    .cache = &PRECISION_TIMER_TYPE,
};

constexpr py::TypeTable TIMER_TABLE{
    .name = "builtins.Timer",
    .doc = TIMER_DOC,
    .basicsize = sizeof(py::Object<PyTimer>),
    .dealloc = py::dealloc<PyTimer>,
    .new_fn = timer_new,
    .call = timer_call,
    .cache = &TIMER_TYPE,
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

PyMethodDef TIMER_FN_DEF = py::function<TIMER_FN_ARGS, timer_fn_impl>("timer",
                                                                      "timer(frequency_hz)\n--\n\n"
                                                                      "普通定时器装饰器\n\n"
                                                                      "示例:\n"
                                                                      "    @timer(10.0)\n"
                                                                      "    def my_func():\n"
                                                                      "        print(\"tick\")");

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

}  // namespace quorix
