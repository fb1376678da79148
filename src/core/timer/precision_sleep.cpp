#include "core/timer/precision_sleep.hpp"

#include <time.h>

#include <cerrno>

namespace quorix {

Instant monotonic_now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return Instant{static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec};
}

void sleep_monotonic(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return;
    timespec req{static_cast<time_t>(d.count() / 1'000'000'000),
                 static_cast<long>(d.count() % 1'000'000'000)};
    timespec rem{};
    // clock_nanosleep returns the error number instead of setting errno.
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &rem) == EINTR) req = rem;
}

void precision_sleep_until_sync(Instant target, std::chrono::nanoseconds spin_window) {
    precision_sleep_until_sync(target, spin_window, [] {});
}

}  // namespace quorix
