#include "comm/can/unwritten_frames.hpp"

#include <algorithm>

namespace quorix {

void UnwrittenFrames::finish(std::int64_t n) noexcept {
    if (n <= 0) return;
    const std::int64_t left = count_.fetch_sub(n, std::memory_order_seq_cst) - n;
    if (left > 0 || waiters_.load(std::memory_order_seq_cst) == 0) return;
    // Taking the mutex orders the notification after a waiter's check of the count: a
    // waiter that saw frames left is then inside wait_until and hears it.
    std::lock_guard lock(mu_);
    cv_.notify_all();
}

std::int64_t UnwrittenFrames::wait_until_finished(rt::Instant deadline) {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock lock(mu_);
        cv_.wait_until(lock, deadline, [&] { return count() <= 0; });
    }
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
    return std::max<std::int64_t>(count(), 0);
}

UnwrittenFrames& unwritten_frames() {
    static UnwrittenFrames* const UNWRITTEN = new UnwrittenFrames();  // leaked on purpose
    return *UNWRITTEN;
}

}  // namespace quorix
