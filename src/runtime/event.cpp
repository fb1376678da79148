#include "runtime/event.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/cpu_relax.hpp"
#include "runtime/worker_count.hpp"

namespace quorix::rt {
namespace {

// Whether the process may run on more than one processor; read once. On one, a spinning
// waiter would only hold off the thread it waits for.
bool several_processors() noexcept {
    static const bool several = affinity_cpus() > 1;
    return several;
}

}  // namespace

void CompletionEvent::notify() noexcept {
    seq_.fetch_add(1, std::memory_order_seq_cst);
    // seq_cst on both sides: a waiter that registered before our increment is seen here,
    // and one that registers after it reads the new sequence and does not sleep.
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&seq_), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
              nullptr, 0);
}

void CompletionEvent::wait_for(std::uint32_t seen, std::chrono::nanoseconds timeout) const noexcept {
    if (timeout <= std::chrono::nanoseconds::zero()) return;
    const auto ns = timeout.count();
    const timespec rel{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    // Returns at once when the sequence has moved on since `seen`.
    ::syscall(SYS_futex, const_cast<std::uint32_t*>(reinterpret_cast<const std::uint32_t*>(&seq_)),
              FUTEX_WAIT_PRIVATE, seen, &rel, nullptr, 0);
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

void CompletionEvent::spin_then_wait_for(std::uint32_t seen, std::chrono::nanoseconds timeout,
                                         std::chrono::nanoseconds spin) const noexcept {
    if (spin > std::chrono::nanoseconds::zero() && several_processors()) {
        const auto start = std::chrono::steady_clock::now();
        const auto budget = std::min(spin, timeout);
        for (;;) {
            if (seq() != seen) return;
            const auto spun = std::chrono::steady_clock::now() - start;
            if (spun >= budget) {
                timeout -= std::chrono::duration_cast<std::chrono::nanoseconds>(spun);
                break;
            }
            cpu_relax();
        }
    }
    wait_for(seen, timeout);
}

}  // namespace quorix::rt
