#include "runtime/task.hpp"

#include "base/panic.hpp"

namespace quorix::rt {

namespace detail {

namespace {
thread_local PollContext* CURRENT_CONTEXT = nullptr;
}

PollContext* current_context() noexcept { return CURRENT_CONTEXT; }

PollContext& require_context() {
    PollContext* cx = CURRENT_CONTEXT;
    if (!cx) throw Panic("A runtime awaitable was awaited outside a runtime task");
    return *cx;
}

ContextScope::ContextScope(PollContext* cx) noexcept : saved_(CURRENT_CONTEXT) { CURRENT_CONTEXT = cx; }
ContextScope::~ContextScope() { CURRENT_CONTEXT = saved_; }

bool drive(PollContext& cx, bool cancelled) {
    if (!cancelled && cx.leaf && !cx.poll_fn(cx.leaf, cx)) return false;
    cx.leaf = nullptr;
    cx.poll_fn = nullptr;
    ContextScope scope(&cx);
    cx.resume_point.resume();
    return true;
}

void TaskCore::wake() noexcept {
    // Every wake is a read-modify-write with release, even when nothing changes: the
    // poller's acquire transition to RUNNING then reads a value at or after ours, so it
    // sees whatever made us wake (a fired timer, a readiness bit) - a plain load that saw
    // SCHEDULED and returned would give no such guarantee.
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (s & DONE) return;
        std::uint32_t next = s;
        if (s & RUNNING) {
            next |= NOTIFIED;
        } else if (!(s & SCHEDULED)) {
            next |= SCHEDULED;
        }
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            if (!(s & (RUNNING | SCHEDULED))) sched_->schedule(this);
            return;
        }
    }
}

void TaskCore::cancel() noexcept {
    state_.fetch_or(CANCELLED, std::memory_order_acq_rel);
    wake();
}

void TaskCore::run() {
    // acquire: pairs with the release of the wake that queued us and of the previous poll.
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(s, (s & ~SCHEDULED) | RUNNING, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    }
    if (poll_body()) {
        mark_done();
        on_done();
        release();  // the execution reference
        return;
    }
    s = state_.load(std::memory_order_relaxed);
#if QUORIX_TEST_HOOKS
    if (auto hook = AFTER_PENDING_POLL_HOOK.load(std::memory_order_acquire)) hook(this);
#endif
    for (;;) {
        if (s & NOTIFIED) {
            // Woken during the poll: run again, behind whatever is queued already.
            if (state_.compare_exchange_weak(s, (s & ~(RUNNING | NOTIFIED)) | SCHEDULED,
                                             std::memory_order_acq_rel, std::memory_order_relaxed)) {
                sched_->schedule(this);
                return;
            }
        } else if (state_.compare_exchange_weak(s, s & ~RUNNING, std::memory_order_release,
                                                std::memory_order_relaxed)) {
            return;
        }
    }
}

void TaskCore::mark_done() noexcept {
    // release: the result stored by the body becomes visible with DONE.
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(s, (s & CANCELLED) | DONE, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
    }
}

void TaskCore::finish_external() noexcept {
    mark_done();
    on_done();
    release();
}

}  // namespace detail

bool YieldNow::poll(detail::PollContext& cx) {
    if (yielded_) return true;
    yielded_ = true;
    cx.task->wake();  // running: marks it NOTIFIED, so it is queued again after this poll
    return false;
}

}  // namespace quorix::rt
