#include "runtime/runtime.hpp"

#include <sys/prctl.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/fork.hpp"
#include "base/io_error.hpp"
#include "base/thread.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/reactor.hpp"
#include "runtime/run_queue.hpp"
#include "runtime/worker_seats.hpp"

namespace quorix::rt {

// ---- the runtime ----

namespace {

struct WorkerTls {
    Runtime::Impl* rt = nullptr;
    bool seated = false;
};
thread_local WorkerTls WORKER;

}  // namespace

// The worker threads, and the rooms they share: the run queue they take tasks from, the
// seats that bound how many run at once, the blocking pool beside them. The reactor is
// created first and goes last.
struct Runtime::Impl {
    Impl(RuntimeConfig c, std::unique_ptr<detail::Reactor> r)
        : config(c),
          workers(c.workers ? c.workers : default_worker_count()),
          reactor(std::move(r)),
          queue(*reactor),
          seats(workers, c.keep_alive),
          pool(c.max_blocking_threads, c.keep_alive, c.start_blocking_thread) {}

    RuntimeConfig config;
    const unsigned workers;
    std::unique_ptr<detail::Reactor> reactor;
    detail::RunQueue queue;
    detail::WorkerSeats seats;
    detail::BlockingPool pool;

    // Live threads (workers and spares; pool threads are counted by the pool).
    std::mutex live_mu;
    std::condition_variable live_cv;
    unsigned live_workers = 0;  // guarded by live_mu

    int start_worker() {
        {
            std::lock_guard lock(live_mu);
            ++live_workers;
        }
        const int err = detail::start_thread("quorix-worker", &worker_main, this);
        if (err != 0) worker_exited();
        return err;
    }

    void worker_exited() {
        std::lock_guard lock(live_mu);
        --live_workers;
        live_cv.notify_all();
    }

    static void worker_main(void* p) {
        // Idle workers time their waits to timer deadlines: no slack on those.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        auto* rt = static_cast<Impl*>(p);
        // Also when a forced unwind ends the thread inside a task (an interpreter stopping
        // it at exit): the thread is counted out and the runtime can still be destroyed.
        struct Exit {
            Impl* rt;
            ~Exit() {
                WORKER = {};
                rt->worker_exited();
            }
        } exit{rt};
        WORKER = {rt, true};
        for (;;) {
            if (!WORKER.seated) {
                // It gave its seat away and comes back: a free seat, or a spare's wait for an
                // offered one; it exits when idle too long, or stopping.
                if (!rt->seats.take()) break;
                WORKER.seated = true;
            }
            detail::TaskCore* t = rt->queue.pop();
            if (!t) break;
            t->run();
        }
    }

    void release_seat() {
        WORKER.seated = false;
        if (seats.release()) return;
        // The seat stays counted for the new thread; if it cannot start, the seat stays
        // empty until this thread comes back.
        if (start_worker() != 0) seats.vacate();
    }

    void stop() {
        // The reactor thread first: it may still be waking tasks onto the run queue.
        reactor->shutdown();
        queue.stop();
        seats.stop();
        pool.stop();
        std::unique_lock lock(live_mu);
        live_cv.wait(lock, [&] { return live_workers == 0; });
    }
};

namespace {

std::unique_ptr<detail::Reactor> create_reactor() {
    auto reactor = detail::Reactor::create();
    if (!reactor) throw Panic("Failed to create the runtime: " + reactor.error().text);
    return std::unique_ptr<detail::Reactor>(reactor.value());
}

}  // namespace

Runtime::Runtime(RuntimeConfig config) {
    detail::record_application_signal_mask();  // before any thread of ours exists
    impl_ = std::make_unique<Impl>(config, create_reactor());
    for (unsigned i = 0; i < impl_->workers; ++i) {
        if (int err = impl_->start_worker(); err != 0) {
            impl_->stop();
            throw Panic("Failed to create the runtime: " + IoError::from_errno(err).text);
        }
    }
}

Runtime::~Runtime() { impl_->stop(); }

unsigned Runtime::worker_count() const noexcept { return impl_->workers; }
unsigned Runtime::blocking_thread_count() const noexcept { return impl_->pool.thread_count(); }

unsigned Runtime::worker_thread_count() const noexcept {
    std::lock_guard lock(impl_->live_mu);
    return impl_->live_workers;
}

detail::Reactor& Runtime::reactor() noexcept { return *impl_->reactor; }
detail::Scheduler& Runtime::scheduler() noexcept { return impl_->queue; }
void Runtime::submit_blocking(detail::BlockingJob* job) { impl_->pool.submit(job); }

// ---- the process-wide runtime ----

Runtime& RuntimeCell::get() {
    bool ran = false;
    std::call_once(once_, [&] {
        ran = true;
        try {
            runtime_ = factory_();
        } catch (const Panic& e) {
            error_ = e.what();
        } catch (const std::exception& e) {
            error_ = std::string("Failed to create the runtime: ") + e.what();
        }
    });
    if (runtime_) return *runtime_;
    // Never retried: the first caller learns why, every later one that it failed before.
    if (ran) throw Panic(error_);
    throw Panic(std::string(RUNTIME_INIT_FAILED));
}

namespace {

#if QUORIX_TEST_HOOKS
int refuse_thread(const char*, void (*)(void*), void*) { return EAGAIN; }
#endif

Runtime* create_process_runtime() {
    RuntimeConfig config;
#if QUORIX_TEST_HOOKS
    // Test builds only: a small blocking-pool bound, to exercise what happens at the bound,
    // and a blocking pool that cannot start a thread when QUORIX_TEST_FAIL_BLOCKING_THREADS is set.
    if (const char* bound = std::getenv("QUORIX_TEST_MAX_BLOCKING_THREADS")) {
        const unsigned long n = std::strtoul(bound, nullptr, 10);
        if (n > 0 && n < 100'000) config.max_blocking_threads = static_cast<unsigned>(n);
    }
    if (std::getenv("QUORIX_TEST_FAIL_BLOCKING_THREADS")) config.start_blocking_thread = &refuse_thread;
#endif
    return new Runtime(config);
}

}  // namespace

Runtime& runtime() {
    // A forked child has none of the runtime's threads: nothing it would wait for happens.
    check_not_forked_after_start();
    note_runtime_start();  // before any of its threads exists
    static RuntimeCell* const RUNTIME = new RuntimeCell(&create_process_runtime);  // leaked on purpose
    return RUNTIME->get();
}

// ---- seats and blocking waits ----

namespace detail {

bool holds_worker_seat() noexcept { return WORKER.rt && WORKER.seated; }

void release_worker_seat() {
    if (WORKER.rt && WORKER.seated) WORKER.rt->release_seat();
    BlockingPool::lend_current_thread();
}

void check_not_on_worker() {
    if (holds_worker_seat()) {
        throw Panic("Cannot block on the runtime from one of its worker threads (use run_blocking)");
    }
}

}  // namespace detail

}  // namespace quorix::rt
