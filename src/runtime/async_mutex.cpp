#include "runtime/async_mutex.hpp"

namespace quorix::rt {

bool AsyncMutex::LockAwaiter::poll(detail::PollContext& cx) {
    if (granted_.load(std::memory_order_acquire)) return true;
    std::lock_guard lock(m_->mu_);
    if (granted_.load(std::memory_order_relaxed)) return true;
    if (!queued_) {
        if (!m_->locked_) {
            // Free means nobody waits either: unlock() hands the lock to a waiter directly.
            m_->locked_ = true;
            granted_.store(true, std::memory_order_relaxed);
            return true;
        }
        prev_ = m_->tail_;
        next_ = nullptr;
        (m_->tail_ ? m_->tail_->next_ : m_->head_) = this;
        m_->tail_ = this;
        queued_ = true;
    }
    if (!waker_.wakes(cx.task)) waker_ = Waker(cx.task);
    return false;
}

AsyncMutex::LockAwaiter::~LockAwaiter() {
    if (taken_) return;
    bool pass_on;
    {
        std::lock_guard lock(m_->mu_);
        pass_on = granted_.load(std::memory_order_relaxed);
        if (!pass_on && queued_) {
            (prev_ ? prev_->next_ : m_->head_) = next_;
            (next_ ? next_->prev_ : m_->tail_) = prev_;
            queued_ = false;
        }
    }
    // Handed the lock (or took it in poll) but never turned it into a guard: a losing
    // select branch or a cancelled task. Pass it on so the next waiter is not stranded.
    if (pass_on) m_->unlock();
}

std::optional<AsyncMutexGuard> AsyncMutex::try_lock() noexcept {
    std::lock_guard lock(mu_);
    if (locked_) return std::nullopt;
    locked_ = true;
    return AsyncMutexGuard(this);
}

bool AsyncMutex::is_locked() const noexcept {
    std::lock_guard lock(mu_);
    return locked_;
}

void AsyncMutex::unlock() noexcept {
    Waker w;
    {
        std::lock_guard lock(mu_);
        LockAwaiter* next = head_;
        if (!next) {
            locked_ = false;
            return;
        }
        head_ = next->next_;
        (head_ ? head_->prev_ : tail_) = nullptr;
        next->queued_ = false;
        w = std::move(next->waker_);
        // The lock stays held: it now belongs to `next`. This store is our last touch of
        // it; its owner may see it and go on without taking mu_.
        next->granted_.store(true, std::memory_order_release);
    }
    w.wake();
}

}  // namespace quorix::rt
