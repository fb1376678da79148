#pragma once

// select(a, b) and with_deadline(a, t): racing awaitables inside a task.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/join_handle.hpp"
#include "runtime/task.hpp"
#include "runtime/time.hpp"

namespace quorix::rt {

namespace detail {

/// One fair coin flip from a per-thread generator.
bool random_bit() noexcept;

/// take() of a pollable as a value: void becomes std::monostate.
template <class P>
value_or_monostate_t<decltype(std::declval<P&>().take())> take_value(P& p) {
    if constexpr (std::is_void_v<decltype(p.take())>) {
        p.take();
        return {};
    } else {
        return p.take();
    }
}

}  // namespace detail

/// A Task<T> raced inside select()/with_deadline(): it runs inside the enclosing task's
/// polls, with a resume point of its own, and is destroyed (unwinding what it holds) when
/// the race ends without it.
template <class T>
class TaskBranch : public PollAwaiter<TaskBranch<T>> {
public:
    explicit TaskBranch(Task<T> task) noexcept : task_(std::move(task)) {}
    TaskBranch(TaskBranch&& o) noexcept : PollAwaiter<TaskBranch<T>>(o), task_(std::move(o.task_)) {}

    bool poll(detail::PollContext& cx) {
        if (!child_.resume_point) child_.resume_point = task_.handle();
        child_.task = cx.task;  // its leaves wake, and see the cancellation of, the enclosing task
        if (!detail::drive(child_, false)) return false;
        return task_.done();
    }
    T take() { return task_.take_result(); }

private:
    Task<T> task_;
    detail::PollContext child_;
};

namespace detail {

template <class A>
struct Branch {
    using type = std::decay_t<A>;
    static type make(A&& a) { return type(std::forward<A>(a)); }
};
template <class T>
struct Branch<Task<T>> {
    using type = TaskBranch<T>;
    static type make(Task<T>&& t) { return type(std::move(t)); }
};
template <class T>
struct Branch<JoinHandle<T>&> {
    using type = JoinAwaiter<T>;
    static type make(JoinHandle<T>& h) { return h.join(); }
};

template <class A>
using branch_t = typename Branch<A>::type;

}  // namespace detail

/// Awaits `a` and `b` together and completes with the first that finishes:
/// std::variant<A's result, B's result> (void results as std::monostate; index() tells which
/// one won, also when both have the same type). Each poll looks at the two in a fresh random
/// order, so neither side has priority when both are ready. The loser is destroyed with the
/// select: its registration goes away and it consumes nothing (a channel message stays
/// queued, a mutex is not taken). Either side may be a leaf awaitable of this runtime,
/// another select/with_deadline, a Task<T> (run as a TaskBranch) or a JoinHandle<T>& (its
/// join()). An exception from the winner propagates.
template <class A, class B>
class [[nodiscard]] Select : public PollAwaiter<Select<A, B>> {
public:
    using ResultA = value_or_monostate_t<decltype(std::declval<A&>().take())>;
    using ResultB = value_or_monostate_t<decltype(std::declval<B&>().take())>;
    using Result = std::variant<ResultA, ResultB>;

    Select(A a,
           B b) noexcept(std::is_nothrow_move_constructible_v<A>&& std::is_nothrow_move_constructible_v<B>)
        : a_(std::move(a)), b_(std::move(b)) {}
    Select(Select&& o) noexcept(
        std::is_nothrow_move_constructible_v<A>&& std::is_nothrow_move_constructible_v<B>)
        : PollAwaiter<Select<A, B>>(o), a_(std::move(o.a_)), b_(std::move(o.b_)), winner_(o.winner_) {}

    bool poll(detail::PollContext& cx) {
        if (detail::random_bit()) return poll_a(cx) || poll_b(cx);
        return poll_b(cx) || poll_a(cx);
    }
    Result take() {
        if (winner_ == 0) return Result(std::in_place_index<0>, detail::take_value(a_));
        return Result(std::in_place_index<1>, detail::take_value(b_));
    }

private:
    bool poll_a(detail::PollContext& cx) {
        if (!a_.poll_ready(cx)) return false;
        winner_ = 0;
        return true;
    }
    bool poll_b(detail::PollContext& cx) {
        if (!b_.poll_ready(cx)) return false;
        winner_ = 1;
        return true;
    }

    A a_;
    B b_;
    int winner_ = -1;
};

template <class A, class B>
[[nodiscard]] Select<detail::branch_t<A>, detail::branch_t<B>> select(A&& a, B&& b) {
    return {detail::Branch<A>::make(std::forward<A>(a)), detail::Branch<B>::make(std::forward<B>(b))};
}

/// Awaits `a` until `deadline`: its result, or nullopt when the deadline passes first. The
/// inner awaitable is looked at first on every poll, so a result that is ready is returned
/// even when the deadline has already passed. Void results as std::monostate. On time-out
/// the inner awaitable is destroyed as a select() loser is.
template <class A>
class [[nodiscard]] WithDeadline : public PollAwaiter<WithDeadline<A>> {
public:
    using Value = value_or_monostate_t<decltype(std::declval<A&>().take())>;

    WithDeadline(A a, Instant deadline) noexcept(std::is_nothrow_move_constructible_v<A>)
        : inner_(std::move(a)), timer_(deadline) {}
    WithDeadline(WithDeadline&& o) noexcept(std::is_nothrow_move_constructible_v<A>)
        : PollAwaiter<WithDeadline<A>>(o), inner_(std::move(o.inner_)), timer_(o.timer_.deadline()) {}

    bool poll(detail::PollContext& cx) {
        if (inner_.poll_ready(cx)) {
            finished_ = true;
            return true;
        }
        return timer_.poll_ready(cx);
    }
    std::optional<Value> take() {
        if (!finished_) return std::nullopt;
        return std::optional<Value>(detail::take_value(inner_));
    }

private:
    A inner_;
    Sleep timer_;
    bool finished_ = false;
};

template <class A>
[[nodiscard]] WithDeadline<detail::branch_t<A>> with_deadline(A&& a, Instant deadline) {
    return {detail::Branch<A>::make(std::forward<A>(a)), deadline};
}

/// with_deadline(a, now + d); a duration too long to represent never times out.
template <class A, class Rep, class Period>
[[nodiscard]] WithDeadline<detail::branch_t<A>> with_timeout(A&& a, std::chrono::duration<Rep, Period> d) {
    return {detail::Branch<A>::make(std::forward<A>(a)), deadline_after(d)};
}

}  // namespace quorix::rt
