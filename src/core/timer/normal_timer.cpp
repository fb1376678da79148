#include "core/timer/normal_timer.hpp"

#include "runtime/interval.hpp"

namespace quorix {

namespace {

// Jobs for the blocking pool. Named types rather than lambdas: g++ 12 miscompiles lambdas
// with captures created inside a coroutine's co_await expression.
struct CallJob {
    TimerCall* call;  // the loop keeps it alive: it awaits the job
    bool operator()() const { return call->call(); }
};

struct ReleaseJob {
    TimerCall* call;
    void operator()() const { call->release(); }
};

}  // namespace

rt::Task<void> run_normal_loop(NormalLoop loop) {
    rt::Interval ticker(loop.period);  // the first tick is due now, as the task first runs
    while (loop.running->load(std::memory_order_seq_cst)) {
        co_await ticker.tick();
        if (loop.registry->is_shutdown_requested()) {
            loop.running->store(false, std::memory_order_seq_cst);
            break;
        }
        // The call takes the interpreter lock, so it runs on the blocking pool: a worker
        // must never wait for that lock in its seat.
        rt::JoinHandle<bool> job = loop.runtime->spawn_blocking(CallJob{loop.call.get()});
        const bool called = co_await job;
        if (!called) break;  // the interpreter is going away
        loop.tick_count->fetch_add(1, std::memory_order_relaxed);
    }
    rt::JoinHandle<void> job = loop.runtime->spawn_blocking(ReleaseJob{loop.call.get()});
    co_await job;
}

std::shared_ptr<TaskHandleSlot> spawn_normal_timer(NormalLoop loop) {
    auto slot = std::make_shared<TaskHandleSlot>();  // allocated first: nothing to undo later
    rt::Runtime& runtime = *loop.runtime;
    // Nobody else holds the slot yet, so filling it needs no lock (and cannot block).
    slot->join.emplace(runtime.spawn(run_normal_loop(std::move(loop))));
    return slot;
}

}  // namespace quorix
