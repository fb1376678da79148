#pragma once

#include <atomic>
#include <cstdint>

namespace quorix {

/// Gives one send or receive at a time exclusive use of a blocking CAN device, and lets any
/// number of readers of its name share it. TryLockable and shared-TryLockable: held by
/// std::unique_lock / std::shared_lock with std::try_to_lock. Unlike a mutex, a second
/// borrower is refused, never made to wait. Lock-free; any thread. The state:
///   0          free
///   EXCLUSIVE  a send or receive is in progress
///   n > 0      n readers of the name
class BorrowFlag {
public:
    static constexpr std::int32_t EXCLUSIVE = -1;

    // acquire pairs with the release in the unlocks: the next borrower sees the device as
    // the last one left it.
    bool try_lock() noexcept {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock() noexcept { state_.store(0, std::memory_order_release); }

    /// Refused only while an exclusive borrow is in progress.
    bool try_lock_shared() noexcept {
        std::int32_t s = state_.load(std::memory_order_relaxed);
        do {
            if (s == EXCLUSIVE) return false;
        } while (
            !state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

private:
    std::atomic<std::int32_t> state_{0};
};

}  // namespace quorix
