#pragma once

// AsyncMutex: a first-in first-out mutex for tasks.

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/task.hpp"

namespace quorix::rt {

class AsyncMutex;

/// Holds an AsyncMutex; unlocks on destruction (also when the holding task is cancelled and
/// unwinds). Move-only. May be destroyed on any thread.
class [[nodiscard]] AsyncMutexGuard {
public:
    AsyncMutexGuard() noexcept = default;
    explicit AsyncMutexGuard(AsyncMutex* m) noexcept : m_(m) {}
    AsyncMutexGuard(AsyncMutexGuard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    AsyncMutexGuard& operator=(AsyncMutexGuard&& o) noexcept {
        if (this != &o) {
            unlock();
            m_ = std::exchange(o.m_, nullptr);
        }
        return *this;
    }
    ~AsyncMutexGuard() { unlock(); }

    /// Unlocks early; idempotent.
    void unlock() noexcept;
    bool owns_lock() const noexcept { return m_ != nullptr; }

private:
    AsyncMutex* m_ = nullptr;
};

/// A mutex for tasks: lock() is awaited and never blocks a thread; waiters get the lock in
/// the order they started waiting (it is handed to the first waiter on unlock, so nobody
/// can barge in). Any thread may unlock, through the guard. Not recursive.
class AsyncMutex {
public:
    AsyncMutex() = default;
    /// Precondition: unlocked and without waiters.
    ~AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    /// Leaf awaitable giving the guard. Dropped while waiting (a losing select branch, a
    /// cancelled task) it leaves the queue; dropped after the lock was handed to it but
    /// before it was taken, it passes the lock on.
    class [[nodiscard]] LockAwaiter : public PollAwaiter<LockAwaiter> {
    public:
        explicit LockAwaiter(AsyncMutex& m) noexcept : m_(&m) {}
        LockAwaiter(LockAwaiter&& o) noexcept : PollAwaiter<LockAwaiter>(o), m_(o.m_) {}
        ~LockAwaiter();
        bool poll(detail::PollContext& cx);
        AsyncMutexGuard take() noexcept {
            taken_ = true;
            return AsyncMutexGuard(m_);
        }

    private:
        friend class AsyncMutex;
        AsyncMutex* m_;
        LockAwaiter* prev_ = nullptr;  // waiter queue links, guarded by m_->mu_
        LockAwaiter* next_ = nullptr;
        Waker waker_;          // guarded by m_->mu_
        bool queued_ = false;  // guarded by m_->mu_
        // Set (release) by the unlocker that hands the lock over; read (acquire) by the
        // owner. After setting it the unlocker touches the awaiter no more.
        std::atomic<bool> granted_{false};
        bool taken_ = false;
    };

    [[nodiscard]] LockAwaiter lock() noexcept { return LockAwaiter(*this); }
    /// The guard if the mutex is free and nobody waits; never waits.
    std::optional<AsyncMutexGuard> try_lock() noexcept;
    bool is_locked() const noexcept;
    /// Releases the lock, handing it to the first waiter. Use the guard instead.
    void unlock() noexcept;

private:
    mutable std::mutex mu_;
    bool locked_ = false;
    LockAwaiter* head_ = nullptr;
    LockAwaiter* tail_ = nullptr;
};

inline void AsyncMutexGuard::unlock() noexcept {
    if (m_) std::exchange(m_, nullptr)->unlock();
}

}  // namespace quorix::rt
