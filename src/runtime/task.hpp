#pragma once

// Tasks of the shared runtime: the lazy coroutine type Task<T>, the task state word that
// every wake-up goes through, and the base of all leaf awaitables.
//
// How a task runs. A spawned task is a TaskCore that owns the outermost coroutine. A
// worker "polls" it: when the task is suspended on a leaf awaitable (sleep, a channel
// receive, fd readiness, a mutex...), the worker first asks that leaf whether it is ready;
// only then is the coroutine resumed, and it runs until it suspends on the next leaf that
// is not ready. A leaf that is not ready registers a Waker for the *task* (never a raw
// coroutine handle) with its event source; waking goes through the task's state word, so a
// wake that lands while the task runs makes it run once more after the poll, no wake is
// lost and no task ever runs on two threads at once. A spurious wake costs one poll of
// the leaf and nothing else.
//
// Only the leaves of this runtime, Task<T> and JoinHandle<T> may be co_awaited inside a
// runtime task: a foreign awaitable would suspend the coroutine without telling the task
// where to resume.

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <cxxabi.h>
#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorix::rt {

class Runtime;

/// Thrown at the await point of a task that was aborted (JoinHandle::abort()), and by
/// awaiting the JoinHandle of a task that ended that way. Cancellation is sticky: every
/// later await point of the same task throws it again, so catching it only makes sense for
/// clean-up that does not await.
struct TaskCancelled : std::exception {
    const char* what() const noexcept override { return "task was cancelled"; }
};

/// void -> std::monostate, anything else unchanged: result types of select/with_deadline.
template <class T>
using value_or_monostate_t = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

namespace detail {

class TaskCore;

/// Where a task goes when it becomes runnable: the runtime's run queue, or the thread that
/// drives it in block_on.
class Scheduler {
public:
    /// Queues `task`, whose state has just become SCHEDULED. Any thread; never blocks for
    /// long and never fails.
    virtual void schedule(TaskCore* task) noexcept = 0;

protected:
    ~Scheduler() = default;
};

/// The resume point of one coroutine chain and the leaf it is suspended on. A task has one;
/// a Task<T> raced inside select()/with_deadline() gets one of its own that wakes the
/// enclosing task.
struct PollContext {
    TaskCore* task = nullptr;
    std::coroutine_handle<> resume_point;
    bool (*poll_fn)(void* leaf, PollContext& cx) = nullptr;
    void* leaf = nullptr;
};

/// The context of the coroutine chain that runs on this thread right now, or nullptr.
/// Defined out of line on purpose: a coroutine may move between threads at every
/// suspension, so the compiler must not cache this thread-local's address across one.
PollContext* current_context() noexcept;
/// current_context(), or throws Panic when called outside a runtime task.
PollContext& require_context();

/// Makes `cx` the current context for the lifetime of the scope.
class ContextScope {
public:
    explicit ContextScope(PollContext* cx) noexcept;
    ~ContextScope();
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    PollContext* saved_;
};

/// Resumes the chain of `cx` unless its leaf is still pending (then returns false). With
/// `cancelled`, resumes without asking the leaf, whose await_resume then throws
/// TaskCancelled.
bool drive(PollContext& cx, bool cancelled);

/// One task: its state word, reference count and scheduler. Derived classes own the body
/// (a coroutine, or a job of the blocking pool) and the result.
class TaskCore {
public:
    // State word (one atomic; every transition is a compare-exchange so that a concurrent
    // wake or cancel is never overwritten):
    //   SCHEDULED  queued on its scheduler, not running
    //   RUNNING    a thread is polling it
    //   NOTIFIED   woken while RUNNING: the poller queues it again when the poll ends
    //   CANCELLED  abort() was called; sticky
    //   DONE       finished; the result was stored before the bit was set (release)
    // Idle means none of SCHEDULED, RUNNING, DONE.
    static constexpr std::uint32_t SCHEDULED = 1, RUNNING = 2, NOTIFIED = 4, CANCELLED = 8, DONE = 16;

    TaskCore(const TaskCore&) = delete;
    TaskCore& operator=(const TaskCore&) = delete;

    /// Makes the task runnable: queues it if idle, marks it NOTIFIED if running, nothing if
    /// it is already queued or done. Any thread; lock-free unless it queues the task.
    void wake() noexcept;
    /// Sets CANCELLED and wakes the task. Any thread.
    void cancel() noexcept;
    bool is_cancelled() const noexcept { return state_.load(std::memory_order_acquire) & CANCELLED; }
    bool is_done() const noexcept { return state_.load(std::memory_order_acquire) & DONE; }
    std::uint32_t state() const noexcept { return state_.load(std::memory_order_acquire); }

    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        // acq_rel: the last owner must see every write of the others before destroying.
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    Runtime& runtime() const noexcept { return *runtime_; }

    /// Polls the task once on the calling thread. Called by the scheduler that took it off
    /// its queue (state SCHEDULED). Drops the execution reference when the task finishes.
    void run();

    /// Publishes DONE for a task finished outside run() (a blocking job) and wakes its
    /// joiner. Drops the execution reference.
    void finish_external() noexcept;

    TaskCore* next_in_queue = nullptr;  // intrusive link, owned by the scheduler's queue

protected:
    /// `refs` counts the execution reference plus any handles created with the task.
    TaskCore(Runtime& rt, Scheduler& sched, std::uint32_t refs, std::uint32_t state) noexcept
        : state_(state), refs_(refs), runtime_(&rt), sched_(&sched) {}
    virtual ~TaskCore() = default;

    /// Runs the body until it suspends on a pending leaf (false) or finishes and has stored
    /// its result (true).
    virtual bool poll_body() = 0;
    /// Called once, after DONE became visible: wake whoever waits for the result.
    virtual void on_done() noexcept {}

    PollContext cx_;

private:
    void mark_done() noexcept;

    std::atomic<std::uint32_t> state_;
    std::atomic<std::uint32_t> refs_;
    Runtime* runtime_;
    Scheduler* sched_;
};

#if QUORIX_TEST_HOOKS
/// Test builds only: called by TaskCore::run after a poll that left the task pending, between
/// reading the state word and leaving RUNNING, so a test can land a wake in that window every
/// time instead of by chance.
inline std::atomic<void (*)(TaskCore*)> AFTER_PENDING_POLL_HOOK{nullptr};
#endif

}  // namespace detail

/// A counted reference to a task that makes it runnable again. Copyable; wake() may be
/// called from any thread any number of times. Event sources keep one per registration.
class Waker {
public:
    Waker() noexcept = default;
    explicit Waker(detail::TaskCore* task) noexcept : task_(task) {
        if (task_) task_->add_ref();
    }
    Waker(const Waker& o) noexcept : Waker(o.task_) {}
    Waker(Waker&& o) noexcept : task_(std::exchange(o.task_, nullptr)) {}
    Waker& operator=(Waker o) noexcept {
        std::swap(task_, o.task_);
        return *this;
    }
    ~Waker() {
        if (task_) task_->release();
    }

    void wake() const noexcept {
        if (task_) task_->wake();
    }
    /// True when this waker already wakes `task` (saves re-registering).
    bool wakes(const detail::TaskCore* task) const noexcept { return task_ == task; }
    explicit operator bool() const noexcept { return task_ != nullptr; }
    void reset() noexcept { *this = Waker(); }

private:
    detail::TaskCore* task_ = nullptr;
};

/// Base of every leaf awaitable (CRTP). The derived class provides
///   bool poll(detail::PollContext& cx)  -- ready? If not, register a waker for cx.task
///                                          (the registration lives in the awaiter and is
///                                          undone by its destructor) and return false.
///                                          May be called again after spurious wakes.
///   R take()                            -- the result, called once after poll() said ready.
/// The awaiter must not move once poll() has registered anything; it is then only
/// destroyed, which deregisters. select() and with_deadline() use poll_ready()/take().
template <class D>
class PollAwaiter {
public:
    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> h) {
        detail::PollContext& cx = detail::require_context();
        if (cx.task->is_cancelled()) return false;  // await_resume throws TaskCancelled
        if (poll_ready(cx)) return false;
        cx.resume_point = h;
        cx.poll_fn = &poll_thunk;
        cx.leaf = this;
        return true;
    }

    decltype(auto) await_resume() {
        // Not ready means the task was resumed because it was cancelled. A leaf found
        // ready is always consumed, even when a cancel lands at the same moment: a received
        // message or a granted lock is never lost; the next await point throws instead.
        if (!ready_) throw TaskCancelled();
        return self().take();
    }

    bool poll_ready(detail::PollContext& cx) {
        if (!ready_ && self().poll(cx)) ready_ = true;
        return ready_;
    }
    bool is_ready() const noexcept { return ready_; }

protected:
    PollAwaiter() = default;
    PollAwaiter(const PollAwaiter&) = default;
    PollAwaiter& operator=(const PollAwaiter&) = default;
    ~PollAwaiter() = default;

private:
    D& self() noexcept { return static_cast<D&>(*this); }
    static bool poll_thunk(void* leaf, detail::PollContext& cx) {
        return static_cast<PollAwaiter*>(leaf)->poll_ready(cx);
    }

    bool ready_ = false;
};

template <class T>
class Task;

namespace detail {

template <class T>
class TaskPromise;

/// Result slot shared by the promise types: empty, a value, or an exception.
template <class T>
class TaskResult {
public:
    template <class U>
    void return_value(U&& v) {
        result_.template emplace<1>(std::forward<U>(v));
    }
    void set_exception(std::exception_ptr e) noexcept { result_.template emplace<2>(std::move(e)); }
    T take() {
        if (result_.index() == 2) std::rethrow_exception(std::get<2>(result_));
        return std::move(std::get<1>(result_));
    }

private:
    std::variant<std::monostate, T, std::exception_ptr> result_;
};

template <>
class TaskResult<void> {
public:
    void return_void() noexcept {}
    void set_exception(std::exception_ptr e) noexcept { error_ = std::move(e); }
    void take() {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::exception_ptr error_;
};

template <class T>
class TaskPromise : public TaskResult<T> {
public:
    Task<T> get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<TaskPromise> h) noexcept {
            // Finished inside the awaiter's await_suspend: return there, it continues the
            // parent without suspending it. Finished in a later poll: transfer to the parent.
            const TaskPromise& p = h.promise();
            if (p.running_inline_ || !p.continuation_) return std::noop_coroutine();
            return p.continuation_;
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }

    // A forced unwind has no C++ exception object: binding the handler's reference to it is
    // what the language does, but UBSan's null check reports it, hence no_sanitize.
    [[gnu::no_sanitize("null")]] void unhandled_exception() {
        // A forced unwind (thread cancellation, an interpreter that stops foreign threads
        // at exit) must keep unwinding: rethrowing it from here ends the coroutine at its
        // final suspend point and carries the unwind on through resume().
        try {
            throw;
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            this->set_exception(std::current_exception());
        }
    }

    void set_continuation(std::coroutine_handle<> c) noexcept { continuation_ = c; }
    void set_running_inline(bool v) noexcept { running_inline_ = v; }

private:
    std::coroutine_handle<> continuation_;
    bool running_inline_ = false;
};

}  // namespace detail

/// A lazy, move-only coroutine. Nothing runs until it is spawned, block_on'ed, or awaited
/// by another task (co_await std::move(task) or co_await task; either form runs it once).
/// Exceptions thrown by the body reach whoever awaits it. Destroying a Task that was not
/// run destroys its frame (and the parameters copied into it).
template <class T = void>
class [[nodiscard]] Task {
public:
    using promise_type = detail::TaskPromise<T>;
    using value_type = T;

    Task() noexcept = default;
    explicit Task(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}
    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    ~Task() {
        if (h_) h_.destroy();
    }

    bool valid() const noexcept { return static_cast<bool>(h_); }
    bool done() const noexcept { return h_ && h_.done(); }
    std::coroutine_handle<promise_type> handle() const noexcept { return h_; }
    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(h_, {}); }
    /// The stored result after done(): the value, or rethrows the body's exception.
    T take_result() { return h_.promise().take(); }

    struct Awaiter {
        std::coroutine_handle<promise_type> child;
        bool await_ready() const noexcept { return !child || child.done(); }
        bool await_suspend(std::coroutine_handle<> parent) {
            // The child runs right here, in this poll. If it finishes before it suspends,
            // the parent goes on without suspending: a loop over children that finish at
            // once uses no stack, without relying on tail calls (which sanitizers and -O0
            // builds do not make).
            promise_type& p = child.promise();
            p.set_continuation(parent);
            p.set_running_inline(true);
            child.resume();
            p.set_running_inline(false);
            return !child.done();
        }
        T await_resume() { return child.promise().take(); }
    };
    Awaiter operator co_await() & noexcept { return Awaiter{h_}; }
    Awaiter operator co_await() && noexcept { return Awaiter{h_}; }

private:
    std::coroutine_handle<promise_type> h_;
};

template <class T>
Task<T> detail::TaskPromise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<TaskPromise>::from_promise(*this));
}

/// Gives other runnable tasks a turn: the task goes to the back of the run queue.
class YieldNow : public PollAwaiter<YieldNow> {
public:
    bool poll(detail::PollContext& cx);
    void take() noexcept {}

private:
    bool yielded_ = false;
};
[[nodiscard]] inline YieldNow yield_now() noexcept { return {}; }

}  // namespace quorix::rt
