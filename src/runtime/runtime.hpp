#pragma once

// The shared runtime: worker threads with one FIFO run queue, one reactor thread (epoll,
// a timerfd for nanosecond deadlines, an eventfd to wake it), and a pool of threads for
// blocking jobs created on demand.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "runtime/join_handle.hpp"
#include "base/panic.hpp"
#include "runtime/task.hpp"

namespace quorix::rt {

namespace detail {
class Reactor;
class BlockingJob;
}  // namespace detail

struct RuntimeConfig {
    /// Worker threads; 0 means default_worker_count().
    unsigned workers = 0;
    /// Most threads the blocking pool runs at once; further jobs wait in its queue.
    unsigned max_blocking_threads = 512;
    /// How long an idle blocking-pool thread (or a spare worker thread) waits for work
    /// before it exits.
    std::chrono::milliseconds keep_alive{10'000};
    /// Starts one blocking-pool thread as detail::start_thread does (0 or an error number);
    /// nullptr means detail::start_thread. A fault seam for tests.
    int (*start_blocking_thread)(const char* name, void (*fn)(void*), void* arg) = nullptr;
};

/// Threads this process may run on: the CPUs of its affinity mask, limited by a cgroup CPU
/// quota (cgroup v2 cpu.max, or v1 cpu.cfs_quota_us) rounded up; at least 1.
unsigned default_worker_count() noexcept;

/// CPUs allowed by one cgroup v2 cpu.max text ("max 100000" or "150000 100000"):
/// ceil(quota / period), at least 1; nullopt for no limit or text it cannot read.
std::optional<unsigned> cpu_max_limit(std::string_view cpu_max) noexcept;

class Runtime {
public:
    /// Starts the reactor and the workers. Throws Panic ("Failed to create the runtime:
    /// <os error>") when a thread or a kernel object cannot be created; nothing is left
    /// running then. The process-wide runtime is runtime(); other instances are for tests.
    explicit Runtime(RuntimeConfig config = {});
    /// Stops and waits for every thread of this runtime. Tasks that have not finished are
    /// abandoned (their frames leak). Never called for the process-wide runtime.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    /// Starts `task` on the workers and returns at once; any thread.
    template <class T>
    JoinHandle<T> spawn(Task<T> task);

    /// Runs `fn()` on a thread of the blocking pool (never on a worker); any thread. The
    /// handle gives fn's result or exception. One allocation per call. If no pool thread can
    /// be started, `fn.fail(why)` is called instead when fn has such a member.
    template <class F>
    JoinHandle<std::invoke_result_t<std::decay_t<F>&>> spawn_blocking(F&& fn);

    /// Drives `task` on the calling thread until it finishes and returns its result (or
    /// rethrows). Wake-ups of the task come back to this thread; timers and fd readiness
    /// are served by this runtime's reactor. Throws Panic on a worker thread that holds its
    /// seat (use run_blocking() there). See set_park_hook() for the wait itself.
    template <class T>
    T block_on(Task<T> task);

    /// block_on(), after handing this thread's worker seat to another thread if it holds
    /// one (BlockingSection), so the workers keep their number while this thread waits.
    template <class T>
    T run_blocking(Task<T> task);

    unsigned worker_count() const noexcept;
    /// Threads currently alive in the blocking pool (tests, diagnostics).
    unsigned blocking_thread_count() const noexcept;
    /// Worker threads currently alive, seated or spare (tests, diagnostics).
    unsigned worker_thread_count() const noexcept;

    detail::Reactor& reactor() noexcept;
    detail::Scheduler& scheduler() noexcept;
    void submit_blocking(detail::BlockingJob* job);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

/// The process-wide runtime (RUNTIME), created on first use with default_worker_count()
/// workers. Creation runs exactly once, whichever threads race for it; the runtime is never
/// destroyed. If creation failed, that call throws Panic with the reason and every later
/// call throws Panic("The runtime's earlier initialisation failed"). In a process forked
/// after the runtime started it throws ForkedAfterStart (base/fork.hpp) instead.
Runtime& runtime();

/// The once-only, never-retried creation behind runtime(), reusable with another factory
/// (tests).
class RuntimeCell {
public:
    explicit RuntimeCell(Runtime* (*factory)()) noexcept : factory_(factory) {}
    /// Creates on first call (concurrent callers wait and share the result).
    Runtime& get();

private:
    Runtime* (*factory_)();
    std::once_flag once_;
    Runtime* runtime_ = nullptr;
    std::string error_;
    std::atomic<bool> failed_{false};
};

inline constexpr std::string_view RUNTIME_INIT_FAILED = "The runtime's earlier initialisation failed";

/// runtime().spawn(task).
template <class T>
JoinHandle<T> spawn(Task<T> task) {
    return runtime().spawn(std::move(task));
}

/// runtime().spawn_blocking(fn).
template <class F>
auto spawn_blocking(F&& fn) {
    return runtime().spawn_blocking(std::forward<F>(fn));
}

namespace detail {

/// A spawned coroutine: owns the outermost frame and the join state.
template <class T>
class CoroutineTask final : public JoinState<T> {
public:
    CoroutineTask(Runtime& rt, Scheduler& sched, Task<T> body, std::uint32_t refs, std::uint32_t state)
        : JoinState<T>(rt, sched, refs, state), body_(std::move(body)) {
        this->cx_.task = this;
        this->cx_.resume_point = body_.handle();
    }

private:
    bool poll_body() override {
        const bool cancelled = this->is_cancelled();
        if (!started_ && cancelled) {
            body_ = Task<T>();  // never started: drop the frame without running any of it
            this->set_exception(std::make_exception_ptr(TaskCancelled()));
            return true;
        }
        started_ = true;
        if (!drive(this->cx_, cancelled)) return false;
        if (!body_.done()) return false;
        this->settle_from(body_);
        return true;
    }

    Task<T> body_;
    bool started_ = false;
};

/// A job for the blocking pool; run once by a pool thread.
class BlockingJob {
public:
    virtual void run_job() = 0;
    /// Finishes the job without running it, with Panic(why) as its outcome.
    virtual void fail(const std::string& why) noexcept = 0;
    BlockingJob* next_job = nullptr;

protected:
    ~BlockingJob() = default;
};

template <class R, class F>
class BlockingTask final : public JoinState<R>, public BlockingJob {
public:
    BlockingTask(Runtime& rt, F fn) : JoinState<R>(rt, rt.scheduler(), 2, 0), fn_(std::move(fn)) {}

    [[gnu::no_sanitize("null")]] void run_job() override {  // see TaskPromise::unhandled_exception
        if (this->is_cancelled()) {
            this->set_exception(std::make_exception_ptr(TaskCancelled()));
        } else {
            try {
                if constexpr (std::is_void_v<R>) {
                    fn_();
                    this->set_value();
                } else {
                    this->set_value(fn_());
                }
            } catch (const abi::__forced_unwind&) {
                throw;  // the thread is being torn down: let it go
            } catch (...) {
                this->set_exception(std::current_exception());
            }
        }
        this->finish_external();
    }

    void fail(const std::string& why) noexcept override {
        // A job that finishes work of its own tells it why it will never run.
        if constexpr (requires(F & f) { f.fail(why); }) fn_.fail(why);
        try {
            this->set_exception(std::make_exception_ptr(Panic(why)));
        } catch (...) {
            this->set_exception(std::current_exception());  // the text could not be copied
        }
        this->finish_external();
    }

private:
    bool poll_body() override { return false; }  // never scheduled
    F fn_;
};

/// The scheduler of a block_on task: a wake-up sets a flag and unparks the driving thread.
class ParkingScheduler final : public Scheduler {
public:
    void schedule(TaskCore* task) noexcept override;
    /// Returns once schedule() has been called since the last return; parks the thread in
    /// between, through the park hook if one is set.
    void wait_runnable();
    /// One park: returns after an unpark, possibly one that came before the call.
    void park() noexcept;

private:
    // A Linux futex word: 0 empty, -1 a thread sleeps on it, 1 an unpark is pending.
    std::atomic<std::int32_t> parker_{0};
    // Set by schedule() (release), consumed by wait_runnable() (acquire).
    std::atomic<bool> runnable_{true};
};

template <class T>
class BlockOnTask final : public JoinState<T> {
public:
    // Two references: the execution one and the BlockOnOwner's. Created SCHEDULED.
    BlockOnTask(Runtime& rt, Task<T> body)
        : JoinState<T>(rt, sched_, 2, TaskCore::SCHEDULED), body_(std::move(body)) {
        this->cx_.task = this;
        this->cx_.resume_point = body_.handle();
    }
    ParkingScheduler& parking() noexcept { return sched_; }
    /// Destroys the frame of a task that will never finish (its driver is unwinding).
    void abandon() noexcept { body_ = Task<T>(); }

private:
    bool poll_body() override {
        if (!drive(this->cx_, this->is_cancelled())) return false;
        if (!body_.done()) return false;
        this->settle_from(body_);
        return true;
    }

    ParkingScheduler sched_;  // the base keeps only its address
    Task<T> body_;
};

/// Throws Panic when the calling thread holds a worker seat.
void check_not_on_worker();
/// Hands this thread's worker seat to another thread if it holds one (BlockingSection).
void release_worker_seat();

/// Owns a block_on task. When the driver unwinds (an exception from the park hook, a
/// forced unwind) it destroys the frame, so that its registrations go away.
template <class T>
class BlockOnOwner {
public:
    explicit BlockOnOwner(BlockOnTask<T>* t) noexcept : t_(t) {}
    ~BlockOnOwner() {
        if (!t_->is_done()) {
            t_->abandon();
            t_->release();  // the execution reference: nobody will run the task again
        }
        t_->release();
    }
    BlockOnOwner(const BlockOnOwner&) = delete;
    BlockOnOwner& operator=(const BlockOnOwner&) = delete;
    BlockOnTask<T>* operator->() const noexcept { return t_; }

private:
    BlockOnTask<T>* t_;
};

}  // namespace detail

template <class T>
JoinHandle<T> Runtime::spawn(Task<T> task) {
    // Two references: the execution one (dropped when the task is done) and the handle's.
    auto* core =
        new detail::CoroutineTask<T>(*this, scheduler(), std::move(task), 2, detail::TaskCore::SCHEDULED);
    JoinHandle<T> handle(core);
    scheduler().schedule(core);
    return handle;
}

template <class F>
JoinHandle<std::invoke_result_t<std::decay_t<F>&>> Runtime::spawn_blocking(F&& fn) {
    using R = std::invoke_result_t<std::decay_t<F>&>;
    auto* job = new detail::BlockingTask<R, std::decay_t<F>>(*this, std::forward<F>(fn));
    JoinHandle<R> handle(job);
    submit_blocking(job);
    return handle;
}

template <class T>
T Runtime::block_on(Task<T> task) {
    detail::check_not_on_worker();
    detail::BlockOnOwner<T> owner(new detail::BlockOnTask<T>(*this, std::move(task)));
    while (!owner->is_done()) {
        owner->parking().wait_runnable();
        owner->run();
    }
    return owner->take_result();
}

template <class T>
T Runtime::run_blocking(Task<T> task) {
    detail::release_worker_seat();
    return block_on(std::move(task));
}

}  // namespace quorix::rt
