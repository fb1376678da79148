#include "py/signals.hpp"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "py/gil.hpp"

namespace quorix::py {
namespace {

// A relative sleep on the monotonic clock that resumes after signal interruptions until the
// whole time has passed.
void sleep_for(std::chrono::nanoseconds d) noexcept {
    timespec left{static_cast<time_t>(d.count() / 1'000'000'000),
                  static_cast<long>(d.count() % 1'000'000'000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

}  // namespace

bool on_main_thread() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

void sleep_running_signal_handlers(std::chrono::nanoseconds duration) {
    if (!on_main_thread()) return detached([&] { sleep_for(duration); });
    const auto end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) return;
        const auto slice = std::min<std::chrono::nanoseconds>(left, SIGNAL_CHECK_INTERVAL);
        detached([&] { sleep_for(slice); });
        run_signal_handlers();
    }
}

}  // namespace quorix::py
