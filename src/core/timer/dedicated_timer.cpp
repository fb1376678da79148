#include "core/timer/dedicated_timer.hpp"

#include <sys/prctl.h>

namespace quorix {
namespace {

constexpr std::size_t MAX_THREAD_NAME = 15;

struct ThreadStart {
    std::string name;
    std::unique_ptr<DedicatedLoop> loop;
};

// Not noexcept: at interpreter exit taking the interpreter lock may unwind this thread
// (abi::__forced_unwind), which must travel up to the thread's start unhindered. The
// loop's call object then leaks its Python references, as it must.
extern "C" void* timer_thread_main(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    ::pthread_setname_np(::pthread_self(), start->name.c_str());
    // The default 50 us slack would be added to every coarse sleep; the spin window absorbs
    // the rest of the wake-up latency.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    run_dedicated_loop(*start->loop);
    return nullptr;
}

}  // namespace

Instant skip_missed_deadlines(Instant next, Instant now, std::chrono::nanoseconds period) noexcept {
    if (now <= next) return next;
    const std::int64_t missed = (now - next).count() / period.count() + 1;
    return next + period * missed;
}

void run_dedicated_loop(DedicatedLoop& loop) {
    Instant next_deadline = monotonic_now() + loop.period;  // the first call is due now
    while (loop.running->load(std::memory_order_seq_cst)) {
        if (loop.registry->is_shutdown_requested()) {
            loop.running->store(false, std::memory_order_seq_cst);
            break;
        }
        if (!loop.call->call()) {
            // The interpreter is going away: this timer can never call again.
            loop.running->store(false, std::memory_order_seq_cst);
            break;
        }
        loop.tick_count->fetch_add(1, std::memory_order_relaxed);
        precision_sleep_until_sync(next_deadline, loop.spin_window, [&loop] {
            // The sleep (or a preemption while spinning) lets other work evict what the next
            // pass touches; bring it back before the deadline, while nothing waits on it.
            (void)loop.running->load(std::memory_order_relaxed);
            (void)loop.registry->is_shutdown_requested();
            loop.call->prepare();
        });
        next_deadline = skip_missed_deadlines(next_deadline + loop.period, monotonic_now(), loop.period);
    }
    loop.call->release();
}

std::string timer_thread_name(TaskId id, TimerPrecision precision) {
    std::string name = "timer-" + std::to_string(id) + "-";
    name += thread_label(precision);
    if (name.size() > MAX_THREAD_NAME) name.resize(MAX_THREAD_NAME);
    return name;
}

IoResult<pthread_t> spawn_dedicated_timer(std::string name, std::unique_ptr<DedicatedLoop> loop) {
    std::unique_ptr<ThreadStart> start;
    try {
        start = std::make_unique<ThreadStart>();
    } catch (...) {
        loop->call->release();
        throw;
    }
    start->name = std::move(name);  // a move: no allocation
    start->loop = std::move(loop);
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread{};
    const int rc = ::pthread_create(&thread, &attr, timer_thread_main, start.get());
    ::pthread_attr_destroy(&attr);
    if (rc != 0) {
        start->loop->call->release();
        return IoError::from_errno(rc);
    }
    start.release();  // owned by the thread now
    return thread;
}

}  // namespace quorix
