#include "runtime/block_on_task.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/park_hook.hpp"

namespace quorix::rt::detail {

namespace {

void futex_wait(std::atomic<std::int32_t>* word, std::int32_t expected) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::int32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
              nullptr, 0);
}

void futex_wake_one(std::atomic<std::int32_t>* word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::int32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

constexpr std::int32_t EMPTY = 0, PARKED = -1, NOTIFIED = 1;

void park_trampoline(void* p) { static_cast<ParkingScheduler*>(p)->park(); }

}  // namespace

void ParkingScheduler::schedule(TaskCore*) noexcept {
    runnable_.store(true, std::memory_order_release);
    // Only a thread that is (about to be) asleep costs a system call.
    if (parker_.exchange(NOTIFIED, std::memory_order_release) == PARKED) futex_wake_one(&parker_);
}

void ParkingScheduler::park() noexcept {
    // NOTIFIED -> EMPTY consumes an unpark that came first; EMPTY -> PARKED goes to sleep.
    if (parker_.fetch_sub(1, std::memory_order_acquire) == NOTIFIED) return;
    for (;;) {
        futex_wait(&parker_, PARKED);
        std::int32_t expected = NOTIFIED;
        if (parker_.compare_exchange_strong(expected, EMPTY, std::memory_order_acquire)) return;
        // Spurious wake-up: still PARKED.
    }
}

void ParkingScheduler::wait_runnable() {
    while (!runnable_.exchange(false, std::memory_order_acquire)) {
        if (ParkHook hook = park_hook()) {
            hook(&park_trampoline, this);
        } else {
            park();
        }
    }
}

}  // namespace quorix::rt::detail
