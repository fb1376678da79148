#pragma once

// The shared runtime: worker threads with one FIFO run queue, one reactor thread (epoll,
// a timerfd for nanosecond deadlines, an eventfd to wake it), and a pool of threads for
// blocking jobs created on demand.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/panic.hpp"
#include "runtime/block_on_task.hpp"
#include "runtime/blocking_job.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/spawned_task.hpp"
#include "runtime/task.hpp"
#include "runtime/worker_count.hpp"

namespace quorix::rt {

namespace detail {
class Reactor;
}  // namespace detail

struct RuntimeConfig {
    /// Worker threads; 0 means default_worker_count().
    unsigned workers = 0;
    /// Most threads the blocking pool runs at once; further jobs wait in its queue.
    unsigned max_blocking_threads = 512;
    /// How long an idle blocking-pool thread (or a spare worker thread) waits for work
    /// before it exits.
    std::chrono::milliseconds keep_alive{10'000};
    /// Starts one blocking-pool thread as detail::start_thread (base/thread.hpp) does (0 or an
    /// error number); nullptr means detail::start_thread. A fault seam for tests.
    int (*start_blocking_thread)(const char* name, void (*fn)(void*), void* arg) = nullptr;
};

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

    // The runtime's own parts reach its rooms through these (awaitables, spawn).
    detail::Reactor& reactor() noexcept;
    detail::Scheduler& scheduler() noexcept;
    void submit_blocking(detail::BlockingJob* job);

    struct Impl;  // the worker threads, and the rooms they share (runtime.cpp)

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
    auto* job = new detail::BlockingTask<R, std::decay_t<F>>(*this, scheduler(), std::forward<F>(fn));
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
