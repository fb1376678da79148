#include "runtime/event.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace quorix::rt {

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

}  // namespace quorix::rt
