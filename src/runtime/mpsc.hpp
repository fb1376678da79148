#pragma once

// Unbounded multi-producer single-consumer channel between threads and tasks.

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "runtime/task.hpp"

namespace quorix::rt::mpsc {

namespace detail {

/// First-in first-out ring buffer that grows by doubling and never shrinks, so a steady
/// flow of messages allocates nothing.
template <class T>
class Ring {
public:
    Ring() = default;
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;
    ~Ring() {
        clear();
        std::allocator<T>().deallocate(slots_, cap_);
    }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }

    template <class U>
    void push(U&& v) {
        if (size_ == cap_) grow();
        ::new (static_cast<void*>(slots_ + ((head_ + size_) & (cap_ - 1)))) T(std::forward<U>(v));
        ++size_;
    }
    T pop() noexcept(std::is_nothrow_move_constructible_v<T>) {
        T* slot = slots_ + head_;
        T v(std::move(*slot));
        slot->~T();
        head_ = (head_ + 1) & (cap_ - 1);
        --size_;
        return v;
    }
    void swap(Ring& o) noexcept {
        std::swap(slots_, o.slots_);
        std::swap(cap_, o.cap_);
        std::swap(head_, o.head_);
        std::swap(size_, o.size_);
    }
    void clear() noexcept {
        while (size_ > 0) {
            slots_[head_].~T();
            head_ = (head_ + 1) & (cap_ - 1);
            --size_;
        }
    }

private:
    void grow() {
        const std::size_t cap = cap_ ? cap_ * 2 : 16;
        T* fresh = std::allocator<T>().allocate(cap);
        for (std::size_t i = 0; i < size_; ++i) {
            T* from = slots_ + ((head_ + i) & (cap_ - 1));
            ::new (static_cast<void*>(fresh + i)) T(std::move(*from));
            from->~T();
        }
        std::allocator<T>().deallocate(slots_, cap_);
        slots_ = fresh;
        cap_ = cap;
        head_ = 0;
    }

    T* slots_ = nullptr;
    std::size_t cap_ = 0;  // a power of two, or 0
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

template <class T>
struct Chan {
    std::mutex mu;
    Ring<T> queue;           // guarded by mu
    Waker receiver;          // guarded by mu; taken by the sender that wakes it
    bool rx_closed = false;  // guarded by mu: the receiver closed or is gone
    // Live Sender objects. The decrement to zero happens under mu, so a receiver that sees
    // 0 under mu has seen every message sent before.
    std::size_t senders = 1;  // guarded by mu
};

}  // namespace detail

template <class T>
class Receiver;

/// Sending end. Copyable; each copy counts as a sender, and the channel closes for the
/// receiver when the last one is destroyed. Any thread.
template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::Chan<T>> chan) noexcept : chan_(std::move(chan)) {}
    Sender(const Sender& o) : chan_(o.chan_) {
        std::lock_guard lock(chan_->mu);
        ++chan_->senders;
    }
    Sender(Sender&&) noexcept = default;
    Sender& operator=(const Sender& o) {
        if (this != &o) *this = Sender(o);
        return *this;
    }
    Sender& operator=(Sender&& o) noexcept {
        if (this != &o) {
            drop();
            chan_ = std::move(o.chan_);
        }
        return *this;
    }
    ~Sender() { drop(); }

    /// Queues `v` and returns true; never waits. False (and `v` dropped) when the receiver
    /// has closed or is gone. Costs a lock and a ring slot; no system call unless it has to
    /// queue the idle receiving task on the run queue and a worker sleeps.
    bool send(T v) {
        Waker w;
        {
            std::lock_guard lock(chan_->mu);
            if (chan_->rx_closed) return false;
            chan_->queue.push(std::move(v));
            w = std::move(chan_->receiver);
        }
        w.wake();  // a receiver that is already running or queued costs one atomic op
        return true;
    }
    /// True when send() would fail.
    bool is_closed() const {
        std::lock_guard lock(chan_->mu);
        return chan_->rx_closed;
    }

private:
    void drop() noexcept {
        if (!chan_) return;
        Waker w;
        {
            std::lock_guard lock(chan_->mu);
            if (--chan_->senders == 0) w = std::move(chan_->receiver);
        }
        w.wake();
        chan_.reset();
    }

    std::shared_ptr<detail::Chan<T>> chan_;
};

/// Receiving end. Move-only; one task (or thread) receives at a time. Destroying it closes
/// the channel and drops what is still queued.
template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::Chan<T>> chan) noexcept : chan_(std::move(chan)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
        if (this != &o) {
            drop();
            chan_ = std::move(o.chan_);
        }
        return *this;
    }
    ~Receiver() { drop(); }

    /// Leaf awaitable: the next message, or nullopt once every sender is gone (or close()
    /// was called) and the queue is drained. Takes a message only when it completes, so a
    /// losing select branch or a cancelled receive loses nothing.
    class [[nodiscard]] RecvAwaiter : public PollAwaiter<RecvAwaiter> {
    public:
        explicit RecvAwaiter(detail::Chan<T>* chan) noexcept : chan_(chan) {}
        RecvAwaiter(RecvAwaiter&& o) noexcept : PollAwaiter<RecvAwaiter>(o), chan_(o.chan_) {}
        ~RecvAwaiter() {
            if (!registered_) return;
            std::lock_guard lock(chan_->mu);
            chan_->receiver.reset();
        }

        bool poll(rt::detail::PollContext& cx) {
            std::lock_guard lock(chan_->mu);
            if (!chan_->queue.empty()) {
                value_.emplace(chan_->queue.pop());
                return true;
            }
            if (chan_->senders == 0 || chan_->rx_closed) return true;
            if (!chan_->receiver.wakes(cx.task)) chan_->receiver = Waker(cx.task);
            registered_ = true;
            return false;
        }
        std::optional<T> take() noexcept(std::is_nothrow_move_constructible_v<T>) {
            return std::move(value_);
        }

    private:
        detail::Chan<T>* chan_;
        std::optional<T> value_;
        bool registered_ = false;
    };

    [[nodiscard]] RecvAwaiter recv() noexcept { return RecvAwaiter(chan_.get()); }

    /// The next message if one is queued; never waits. nullopt both when the queue is empty
    /// and when it is closed and drained (is_closed() tells them apart).
    std::optional<T> try_recv() {
        std::lock_guard lock(chan_->mu);
        if (chan_->queue.empty()) return std::nullopt;
        return chan_->queue.pop();
    }

    /// Refuses further sends; messages already queued can still be received.
    void close() {
        std::lock_guard lock(chan_->mu);
        chan_->rx_closed = true;
    }
    /// True when no message can arrive any more (closed, or every sender gone).
    bool is_closed() const {
        std::lock_guard lock(chan_->mu);
        return chan_->rx_closed || chan_->senders == 0;
    }
    std::size_t size() const {
        std::lock_guard lock(chan_->mu);
        return chan_->queue.size();
    }

private:
    void drop() noexcept {
        if (!chan_) return;
        detail::Ring<T> dropped;  // destroy the messages outside the lock
        {
            std::lock_guard lock(chan_->mu);
            chan_->rx_closed = true;
            dropped.swap(chan_->queue);
        }
        chan_.reset();
    }

    std::shared_ptr<detail::Chan<T>> chan_;
};

/// A new channel: one sender (copy it for more) and its receiver.
template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
    auto chan = std::make_shared<detail::Chan<T>>();
    return {Sender<T>(chan), Receiver<T>(chan)};
}

}  // namespace quorix::rt::mpsc
