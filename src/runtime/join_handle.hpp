#pragma once

// JoinHandle<T>: the owner's view of a spawned task or blocking job.

#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/panic.hpp"
#include "runtime/task.hpp"

namespace quorix::rt {

namespace detail {

/// A task with a result slot and one joiner. The result is written by the thread that
/// finishes the task before DONE is published; the joiner reads it after seeing DONE.
template <class T>
class JoinState : public TaskCore {
public:
    using TaskCore::TaskCore;

    /// Registers the joiner's waker unless the task is done. True when done.
    bool poll_join(PollContext& cx) {
        if (is_done()) return true;
        {
            std::lock_guard lock(join_mu_);
            if (!joiner_.wakes(cx.task)) joiner_ = Waker(cx.task);
        }
        // Re-check: on_done() may have looked for a joiner just before we stored it.
        return is_done();
    }
    void forget_joiner() noexcept {
        std::lock_guard lock(join_mu_);
        joiner_.reset();
    }

    /// The value, or rethrows the stored exception (TaskCancelled for an aborted task).
    /// Only once, after is_done().
    T take_result() {
        if (result_.index() == 2) {
            // Moved out, so that the exception object belongs to the joiner's thread alone.
            std::exception_ptr e = std::move(std::get<2>(result_));
            result_.template emplace<0>();
            std::rethrow_exception(std::move(e));
        }
        if (result_.index() == 0) throw Panic("JoinHandle result taken twice");
        if constexpr (std::is_void_v<T>) {
            result_.template emplace<0>();
        } else {
            T v = std::move(std::get<1>(result_));
            result_.template emplace<0>();
            return v;
        }
    }

protected:
    using Stored = value_or_monostate_t<T>;

    template <class... A>
    void set_value(A&&... a) {
        result_.template emplace<1>(std::forward<A>(a)...);
    }
    void set_exception(std::exception_ptr e) noexcept { result_.template emplace<2>(std::move(e)); }

    /// Moves the finished `body`'s value or stored exception into this state, then
    /// destroys its frame here, on the polling thread, before DONE is published.
    void settle_from(Task<T>& body) {
        try {
            if constexpr (std::is_void_v<T>) {
                body.take_result();
                set_value();
            } else {
                set_value(body.take_result());
            }
        } catch (...) {
            // Only the body's stored exception lands here (rethrown by take_result).
            set_exception(std::current_exception());
        }
        body = Task<T>();
    }

    void on_done() noexcept override {
        Waker w;
        {
            std::lock_guard lock(join_mu_);
            w = std::move(joiner_);
        }
        w.wake();
    }

private:
    std::variant<std::monostate, Stored, std::exception_ptr> result_;
    std::mutex join_mu_;
    Waker joiner_;
};

}  // namespace detail

template <class T>
class JoinHandle;

/// Awaits the end of a task: its value, or its exception rethrown (TaskCancelled when it
/// was aborted). Leaf awaitable: usable in select() and with_deadline(); a losing or
/// cancelled wait leaves the task running.
template <class T>
class [[nodiscard]] JoinAwaiter : public PollAwaiter<JoinAwaiter<T>> {
public:
    explicit JoinAwaiter(detail::JoinState<T>* state) noexcept : state_(state) {}
    JoinAwaiter(JoinAwaiter&& o) noexcept
        : PollAwaiter<JoinAwaiter<T>>(o),
          state_(o.state_),
          registered_(std::exchange(o.registered_, false)) {}
    ~JoinAwaiter() {
        if (registered_) state_->forget_joiner();
    }

    bool poll(detail::PollContext& cx) {
        if (!state_) throw Panic("awaiting an empty JoinHandle");
        registered_ = true;
        return state_->poll_join(cx);
    }
    T take() { return state_->take_result(); }

private:
    detail::JoinState<T>* state_;
    bool registered_ = false;
};

/// Owner of a spawned task's result. Move-only. Destroying it detaches the task, which
/// runs on. Any thread may call abort() and is_finished(); awaiting it is for one task at a
/// time, and the result can be taken once.
template <class T>
class [[nodiscard]] JoinHandle {
public:
    JoinHandle() noexcept = default;
    /// Adopts one reference to `state`.
    explicit JoinHandle(detail::JoinState<T>* state) noexcept : state_(state) {}
    JoinHandle(JoinHandle&& o) noexcept : state_(std::exchange(o.state_, nullptr)) {}
    JoinHandle& operator=(JoinHandle&& o) noexcept {
        if (this != &o) {
            reset();
            state_ = std::exchange(o.state_, nullptr);
        }
        return *this;
    }
    ~JoinHandle() { reset(); }

    /// Cancels the task: if it has not started it never runs; otherwise it is resumed at
    /// its await point, which throws TaskCancelled so that RAII unwinds what it holds (a
    /// mutex guard, a registered waiter). A task running on another thread stops at its
    /// next await point. A blocking job that has started runs to its end. No effect on a
    /// finished task. Never waits.
    void abort() noexcept {
        if (state_) state_->cancel();
    }
    /// True once the task has finished (value, exception or cancelled) and its result is
    /// ready to be taken without waiting.
    bool is_finished() const noexcept { return state_ && state_->is_done(); }
    bool valid() const noexcept { return state_ != nullptr; }
    /// Lets the task run on without a handle (same as destroying the handle).
    void detach() noexcept { reset(); }

    /// The result of a finished task (value or rethrown exception). Precondition:
    /// is_finished(). Once only.
    T take_result() { return state_->take_result(); }

    /// co_await handle: waits for the task; gives its value or rethrows its exception.
    [[nodiscard]] JoinAwaiter<T> join() noexcept { return JoinAwaiter<T>(state_); }
    JoinAwaiter<T> operator co_await() noexcept { return JoinAwaiter<T>(state_); }

private:
    void reset() noexcept {
        if (state_) std::exchange(state_, nullptr)->release();
    }

    detail::JoinState<T>* state_ = nullptr;
};

}  // namespace quorix::rt
