#include "runtime/interval.hpp"

namespace quorix::rt {

Instant next_tick_deadline(Instant deadline, Instant now, Duration period) noexcept {
    if (period.count() <= 0) period = Duration(1);  // never divide by zero below
    if (now <= deadline || now - deadline <= INTERVAL_LATE_TOLERANCE) return deadline_after(period, deadline);
    // Late: the first grid point after now. (now - deadline) % period is below period, so
    // the result lies in (now, now + period].
    const Duration behind = now - deadline;
    return deadline_after(period - behind % period, now);
}

bool Interval::Tick::poll(detail::PollContext& cx) {
    const Instant due = iv_->next_;
    if (!entry_.poll(due, cx)) return false;
    taken_ = due;
    iv_->next_ = next_tick_deadline(due, now(), iv_->period_);
    return true;
}

}  // namespace quorix::rt
