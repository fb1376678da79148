#include "core/timer/normal_timer.hpp"

#include <exception>
#include <optional>
#include <string>
#include "runtime/block_on.hpp"
#include "base/console.hpp"
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

// The release of the callable. On the blocking pool when it can take the job; otherwise on
// this thread, after handing its worker seat over (the release waits for the interpreter
// lock, which a worker must never do in its seat).
rt::Task<void> release_call(rt::Runtime& runtime, TimerCall& call, bool pool_usable) {
    if (pool_usable) {
        try {
            rt::JoinHandle<void> job = runtime.spawn_blocking(ReleaseJob{&call});
            co_await job;
            co_return;
        } catch (const rt::TaskCancelled&) {
            throw;
        } catch (const std::exception&) {
            // The pool could not run it: the job never ran.
        }
    }
    rt::block_in_place([&] { call.release(); });
}

}  // namespace

rt::Task<void> run_normal_loop(NormalLoop loop) {
    rt::Interval ticker(loop.period);  // the first tick is due now, as the task first runs
    std::optional<std::string> failure;
    while (loop.running->load(std::memory_order_seq_cst)) {
        co_await ticker.tick();
        if (loop.registry->is_shutdown_requested()) {
            loop.running->store(false, std::memory_order_seq_cst);
            break;
        }
        // The call takes the interpreter lock, so it runs on the blocking pool: a worker
        // must never wait for that lock in its seat.
        bool called = false;
        try {
            rt::JoinHandle<bool> job = loop.runtime->spawn_blocking(CallJob{loop.call.get()});
            called = co_await job;
        } catch (const rt::TaskCancelled&) {
            throw;
        } catch (const std::exception& e) {
            failure = e.what();  // the pool could not run the call (no thread could be started)
            break;
        }
        if (!called) {
            // The interpreter is going away: this timer can never call again.
            loop.running->store(false, std::memory_order_seq_cst);
            break;
        }
        loop.tick_count->fetch_add(1, std::memory_order_relaxed);
    }
    if (failure) {
        write_stderr("Timer " + std::to_string(loop.id) + " stopped: " + *failure + "\n");
        loop.running->store(false, std::memory_order_seq_cst);
    }
    co_await release_call(*loop.runtime, *loop.call, !failure);
}

std::shared_ptr<TaskHandleSlot> spawn_normal_timer(NormalLoop loop) {
    auto slot = std::make_shared<TaskHandleSlot>();  // allocated first: nothing to undo later
    rt::Runtime& runtime = *loop.runtime;
    // Nobody else holds the slot yet, so filling it needs no lock (and cannot block).
    slot->join.emplace(runtime.spawn(run_normal_loop(std::move(loop))));
    return slot;
}

}  // namespace quorix
