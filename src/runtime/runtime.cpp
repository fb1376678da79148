#include "runtime/runtime.hpp"

#include <sched.h>
#include <sys/prctl.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/block_on.hpp"
#include "base/fork.hpp"
#include "base/io_error.hpp"
#include "runtime/reactor.hpp"
#include "base/thread.hpp"

namespace quorix::rt {

// ---- worker count ----

std::optional<unsigned> cpu_max_limit(std::string_view text) noexcept {
    // "<quota> <period>" or "max <period>", microseconds.
    auto parse = [](std::string_view s, unsigned long long& out) {
        if (s.empty()) return false;
        out = 0;
        for (char c : s) {
            if (c < '0' || c > '9' || out > (~0ULL - 9) / 10) return false;
            out = out * 10 + static_cast<unsigned>(c - '0');
        }
        return true;
    };
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    unsigned long long quota, period;
    if (!parse(text.substr(0, space), quota) || !parse(text.substr(space + 1), period) || period == 0) {
        return std::nullopt;
    }
    const unsigned long long cpus = (quota + period - 1) / period;
    if (cpus == 0) return 1u;
    return static_cast<unsigned>(std::min<unsigned long long>(cpus, 1u << 20));
}

namespace {

unsigned affinity_cpus() noexcept {
    constexpr int MAX_CPUS = 8192;
    cpu_set_t* set = CPU_ALLOC(MAX_CPUS);
    if (!set) return 1;
    const std::size_t size = CPU_ALLOC_SIZE(MAX_CPUS);
    unsigned n = 1;
    if (::sched_getaffinity(0, size, set) == 0) n = static_cast<unsigned>(CPU_COUNT_S(size, set));
    CPU_FREE(set);
    return n > 0 ? n : 1;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The tightest quota on the way from the process's cgroup to the root of the hierarchy.
std::optional<unsigned> cgroup_cpu_limit() {
    const auto cgroups = read_file("/proc/self/cgroup");
    if (!cgroups) return std::nullopt;
    std::optional<unsigned> best;
    auto consider = [&](std::optional<unsigned> v) {
        if (v && (!best || *v < *best)) best = v;
    };
    std::istringstream lines(*cgroups);
    std::string line;
    while (std::getline(lines, line)) {
        const auto c1 = line.find(':');
        const auto c2 = line.find(':', c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos) continue;
        const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
        std::string path = line.substr(c2 + 1);
        if (line.compare(0, c1, "0") == 0 && controllers.empty()) {  // cgroup v2
            for (;;) {
                if (auto text = read_file("/sys/fs/cgroup" + path + "/cpu.max"))
                    consider(cpu_max_limit(*text));
                if (path.empty() || path == "/") break;
                path.erase(path.rfind('/'));
            }
        } else if (controllers == "cpu" || controllers == "cpu,cpuacct" || controllers == "cpuacct,cpu") {
            for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
                const auto quota = read_file(std::string(mount) + path + "/cpu.cfs_quota_us");
                const auto period = read_file(std::string(mount) + path + "/cpu.cfs_period_us");
                if (!quota || !period || quota->rfind('-', 0) == 0) continue;
                std::string both = *quota;
                while (!both.empty() && both.back() == '\n') both.pop_back();
                consider(cpu_max_limit(both + " " + *period));
            }
        }
    }
    return best;
}

}  // namespace

unsigned default_worker_count() noexcept {
    unsigned n = affinity_cpus();
    try {
        if (auto limit = cgroup_cpu_limit(); limit && *limit < n) n = *limit;
    } catch (...) {
        // An unreadable cgroup hierarchy leaves the affinity count.
    }
    return n > 0 ? n : 1;
}

// ---- the runtime ----

namespace {

struct WorkerTls {
    Runtime::Impl* rt = nullptr;
    bool seated = false;
};
thread_local WorkerTls WORKER;
// A blocking-pool thread: its runtime, and whether it counts towards the pool's bound (it
// stops counting while the job it runs waits for the runtime, see lend_pool_slot).
struct PoolTls {
    Runtime::Impl* rt = nullptr;
    bool counted = false;
};
thread_local PoolTls POOL;
// The runtime whose timers this worker is firing right now: the first task they wake is
// queued without waking another worker, since this one runs it next.
thread_local Runtime::Impl* FIRING_FOR = nullptr;

}  // namespace

struct Runtime::Impl final : detail::Scheduler {
    explicit Impl(RuntimeConfig c) : config(c), workers(c.workers ? c.workers : default_worker_count()) {}

    RuntimeConfig config;
    const unsigned workers;
    std::unique_ptr<detail::Reactor> reactor;

    // Run queue: FIFO, intrusive through TaskCore::next_in_queue.
    std::mutex queue_mu;
    std::condition_variable queue_cv;
    detail::TaskCore* head = nullptr;  // guarded by queue_mu
    detail::TaskCore* tail = nullptr;  // guarded by queue_mu
    unsigned idle_workers = 0;         // guarded by queue_mu
    bool timer_watcher = false;        // guarded by queue_mu: an idle worker waits for the next deadline
    bool queue_stopping = false;       // guarded by queue_mu

    // Worker seats. `seated` counts threads that hold a seat plus seats offered to spares.
    std::mutex seat_mu;
    std::condition_variable seat_cv;
    unsigned seated = 0;          // guarded by seat_mu
    unsigned waiting_spares = 0;  // guarded by seat_mu: spares not yet offered a seat
    unsigned offers = 0;          // guarded by seat_mu: seats offered, not yet taken
    bool seats_stopping = false;  // guarded by seat_mu

    // Blocking pool.
    std::mutex pool_mu;
    std::condition_variable pool_cv;
    detail::BlockingJob* jobs_head = nullptr;  // guarded by pool_mu
    detail::BlockingJob* jobs_tail = nullptr;  // guarded by pool_mu
    unsigned pool_threads = 0;                 // guarded by pool_mu: threads counted towards the bound
    unsigned pool_lent = 0;                    // guarded by pool_mu: threads whose job waits, uncounted
    unsigned pool_idle = 0;                    // guarded by pool_mu
    unsigned pool_notified = 0;                // guarded by pool_mu: idle threads already signalled
    bool pool_stopping = false;                // guarded by pool_mu

    // Live threads (workers and spares; pool threads are counted in pool_threads).
    std::mutex live_mu;
    std::condition_variable live_cv;
    unsigned live_workers = 0;  // guarded by live_mu

    void schedule(detail::TaskCore* task) noexcept override {
        bool wake;
        {
            std::lock_guard lock(queue_mu);
            task->next_in_queue = nullptr;
            (tail ? tail->next_in_queue : head) = task;
            tail = task;
            wake = idle_workers > 0;
        }
        if (FIRING_FOR == this) {
            FIRING_FOR = nullptr;
            return;
        }
        if (wake) queue_cv.notify_one();
    }

    detail::TaskCore* pop() {
        std::unique_lock lock(queue_mu);
        while (!head) {
            if (queue_stopping) return nullptr;
            ++idle_workers;
            const std::int64_t deadline = timer_watcher ? detail::Reactor::NO_DEADLINE : reactor->watch();
            if (deadline == detail::Reactor::NO_DEADLINE) {
                queue_cv.wait(lock);
                --idle_workers;
                continue;
            }
            // One idle worker waits for the next timer deadline itself and fires it: the task
            // it wakes then runs on this thread, with no hop through the reactor thread (which
            // stays armed as the backstop).
            timer_watcher = true;
            queue_cv.wait_until(lock,
                                std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
            timer_watcher = false;
            --idle_workers;
            lock.unlock();  // waking tasks takes queue_mu
            if (std::chrono::steady_clock::now().time_since_epoch().count() >= deadline) {
                FIRING_FOR = this;
                reactor->fire_timers();
                FIRING_FOR = nullptr;
            } else {
                reactor->unwatch();
            }
            lock.lock();
        }
        detail::TaskCore* t = head;
        head = t->next_in_queue;
        if (!head) tail = nullptr;
        return t;
    }

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
            if (!WORKER.seated && !rt->reseat()) break;
            detail::TaskCore* t = rt->pop();
            if (!t) break;
            t->run();
        }
    }

    // A thread that gave its seat away comes back: take a free seat, or wait as a spare
    // until one is offered; false when it should exit (idle too long, or stopping).
    bool reseat() {
        std::unique_lock lock(seat_mu);
        if (seats_stopping) return false;
        if (seated < workers) {
            ++seated;
            WORKER.seated = true;
            return true;
        }
        ++waiting_spares;
        const bool offered =
            seat_cv.wait_for(lock, config.keep_alive, [&] { return offers > 0 || seats_stopping; });
        if (!offered) {
            --waiting_spares;
            return false;
        }
        if (offers == 0) return false;  // stopping; our waiting_spares entry no longer matters
        --offers;
        WORKER.seated = true;
        return true;
    }

    void release_seat() {
        WORKER.seated = false;
        std::unique_lock lock(seat_mu);
        if (waiting_spares > 0) {
            // The seat passes straight to a spare: it stays counted in `seated`.
            --waiting_spares;
            ++offers;
            seat_cv.notify_one();
            return;
        }
        lock.unlock();
        // The seat stays counted for the new thread; if it cannot start, the seat stays
        // empty until this thread comes back.
        if (start_worker() != 0) {
            lock.lock();
            --seated;
        }
    }

    void submit(detail::BlockingJob* job) {
        std::unique_lock lock(pool_mu);
        job->next_job = nullptr;
        (jobs_tail ? jobs_tail->next_job : jobs_head) = job;
        jobs_tail = job;
        serve_queue(lock);
    }

    // Makes sure a thread will take the queued jobs: wakes an idle one, or starts one while
    // the pool is below its bound; otherwise they wait for a busy thread, in order.
    void serve_queue(std::unique_lock<std::mutex>& lock) {
        if (!jobs_head) return;
        if (pool_idle > pool_notified) {
            ++pool_notified;
            lock.unlock();
            pool_cv.notify_one();
            return;
        }
        if (pool_threads >= config.max_blocking_threads) return;  // queued for a busy thread
        ++pool_threads;
        lock.unlock();
        const int err = config.start_blocking_thread
                            ? config.start_blocking_thread("quorix-blocking", &pool_main, this)
                            : detail::start_thread("quorix-blocking", &pool_main, this);
        if (err == 0) return;
        lock.lock();
        --pool_threads;
        pool_cv.notify_all();
        if (pool_threads + pool_lent > 0) return;  // a running thread will take it
        // Nobody can run the queued jobs: fail them rather than leave their joiners hanging.
        detail::BlockingJob* failed = std::exchange(jobs_head, nullptr);
        jobs_tail = nullptr;
        lock.unlock();
        fail_jobs(failed, err);
    }

    // The job on this pool thread is about to wait for the runtime (a task it waits for may
    // be queued behind it): the thread stops counting towards the bound so the queue moves
    // on. It counts again, or exits if the pool is full, when its job ends.
    void lend_pool_slot() {
        POOL.counted = false;
        std::unique_lock lock(pool_mu);
        --pool_threads;
        ++pool_lent;
        serve_queue(lock);
    }

    static void fail_jobs(detail::BlockingJob* list, int err) {
        const std::string why = "Failed to start a blocking-pool thread: " + IoError::from_errno(err).text;
        while (list) std::exchange(list, list->next_job)->fail(why);
    }

    static void pool_main(void* p) {
        auto* rt = static_cast<Impl*>(p);
        POOL = {rt, true};
        std::unique_lock lock(rt->pool_mu);
        for (;;) {
            while (!rt->jobs_head) {
                if (rt->pool_stopping) return rt->pool_thread_exited(lock);
                ++rt->pool_idle;
                const bool timed_out =
                    rt->pool_cv.wait_for(lock, rt->config.keep_alive) == std::cv_status::timeout;
                --rt->pool_idle;
                if (rt->pool_notified > 0) --rt->pool_notified;
                if (timed_out && !rt->jobs_head) return rt->pool_thread_exited(lock);
            }
            detail::BlockingJob* job = rt->jobs_head;
            rt->jobs_head = job->next_job;
            if (!rt->jobs_head) rt->jobs_tail = nullptr;
            lock.unlock();
            {
                // A forced unwind out of the job still counts this thread out.
                struct Recount {
                    Impl* rt;
                    bool armed = true;
                    ~Recount() {
                        if (!armed) return;
                        std::lock_guard l(rt->pool_mu);
                        --(POOL.counted ? rt->pool_threads : rt->pool_lent);
                        POOL = {};
                        rt->pool_cv.notify_all();
                    }
                } recount{rt};
                job->run_job();
                recount.armed = false;
            }
            lock.lock();
            if (!POOL.counted) {
                // Lent while its job waited: count again if the pool has room, else leave.
                --rt->pool_lent;
                if (rt->pool_stopping || rt->pool_threads >= rt->config.max_blocking_threads) {
                    POOL = {};
                    rt->pool_cv.notify_all();
                    return;
                }
                ++rt->pool_threads;
                POOL.counted = true;
            }
        }
    }

    void pool_thread_exited(std::unique_lock<std::mutex>& lock) {
        --pool_threads;
        POOL = {};
        pool_cv.notify_all();
        lock.unlock();
    }

    void stop() {
        // The reactor thread first: it may still be waking tasks onto the run queue.
        if (reactor) reactor->shutdown();
        {
            std::lock_guard lock(queue_mu);
            queue_stopping = true;
        }
        queue_cv.notify_all();
        {
            std::lock_guard lock(seat_mu);
            seats_stopping = true;
        }
        seat_cv.notify_all();
        {
            std::unique_lock lock(pool_mu);
            pool_stopping = true;
            pool_cv.notify_all();
            pool_cv.wait(lock, [&] { return pool_threads + pool_lent == 0; });
        }
        std::unique_lock lock(live_mu);
        live_cv.wait(lock, [&] { return live_workers == 0; });
    }
};

Runtime::Runtime(RuntimeConfig config) : impl_(std::make_unique<Impl>(config)) {
    detail::record_application_signal_mask();  // before any thread of ours exists
    auto reactor = detail::Reactor::create();
    if (!reactor) throw Panic("Failed to create the runtime: " + reactor.error().text);
    impl_->reactor.reset(reactor.value());
    impl_->seated = impl_->workers;
    for (unsigned i = 0; i < impl_->workers; ++i) {
        if (int err = impl_->start_worker(); err != 0) {
            impl_->stop();
            throw Panic("Failed to create the runtime: " + IoError::from_errno(err).text);
        }
    }
}

Runtime::~Runtime() { impl_->stop(); }

unsigned Runtime::worker_count() const noexcept { return impl_->workers; }

unsigned Runtime::blocking_thread_count() const noexcept {
    std::lock_guard lock(impl_->pool_mu);
    return impl_->pool_threads + impl_->pool_lent;
}

unsigned Runtime::worker_thread_count() const noexcept {
    std::lock_guard lock(impl_->live_mu);
    return impl_->live_workers;
}

detail::Reactor& Runtime::reactor() noexcept { return *impl_->reactor; }
detail::Scheduler& Runtime::scheduler() noexcept { return *impl_; }
void Runtime::submit_blocking(detail::BlockingJob* job) { impl_->submit(job); }

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

bool on_worker_thread() noexcept { return WORKER.rt && WORKER.seated; }

BlockingSection::BlockingSection() { detail::release_worker_seat(); }

namespace detail {

void release_worker_seat() {
    if (WORKER.rt && WORKER.seated) WORKER.rt->release_seat();
    if (POOL.rt && POOL.counted) POOL.rt->lend_pool_slot();
}

void check_not_on_worker() {
    if (on_worker_thread()) {
        throw Panic("Cannot block on the runtime from one of its worker threads (use run_blocking)");
    }
}

}  // namespace detail

}  // namespace quorix::rt
