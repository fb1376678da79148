#include "runtime/time.hpp"

#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace quorix::rt::detail {

bool TimerEntry::poll(Instant deadline, PollContext& cx) {
    if (fired.load(std::memory_order_acquire)) return true;
    if (deadline == NEVER) return false;  // nothing to queue; only a cancel ends this wait
    if (now() >= deadline) return true;
    if (!reactor) {
        // First poll: the entry is not shared yet, so its fields are written without a lock.
        deadline_ns = deadline.time_since_epoch().count();
        waker = Waker(cx.task);
        cx.task->runtime().reactor().add_timer(*this);
    }
    return false;
}

void TimerEntry::cancel() noexcept {
    // Once `fired` is set the reactor has unlinked the entry and will not touch it again.
    if (reactor && !fired.load(std::memory_order_acquire)) reactor->remove_timer(*this);
}

}  // namespace quorix::rt::detail
