// A time limit for every test: a test that hangs (a lost wake-up, a deadlock) ends the run
// with its name on stderr instead of stalling it until an outer time-out kills the binary
// without saying where. QUORIX_TEST_TIMEOUT sets the limit per test in seconds (default
// 300; 0 turns the watchdog off).

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// Never destroyed: the watching thread outlives the listener list that gtest tears down at exit.
struct WatchState {
    std::mutex mu;
    std::condition_variable cv;
    std::string name;  // the running test, "Suite.Test"
    Clock::time_point deadline;
    bool armed = false;
};

void write_all(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void watch(WatchState* w, long limit_s) {
    std::unique_lock lock(w->mu);
    for (;;) {
        if (!w->armed) {
            w->cv.wait(lock);
        } else if (Clock::now() < w->deadline) {
            w->cv.wait_until(lock, w->deadline);
        } else {
            write_all("\n[  TIMEOUT ] " + w->name + " still running after " + std::to_string(limit_s) +
                      " s (QUORIX_TEST_TIMEOUT); stopping the test run\n");
            std::_Exit(124);
        }
    }
}

class Watchdog final : public ::testing::EmptyTestEventListener {
public:
    Watchdog(WatchState* w, long limit_s) : w_(w), limit_(limit_s) {}

    void OnTestStart(const ::testing::TestInfo& info) override {
        std::lock_guard lock(w_->mu);
        w_->name = std::string(info.test_suite_name()) + "." + info.name();
        w_->deadline = Clock::now() + std::chrono::seconds(limit_);
        w_->armed = true;
        w_->cv.notify_one();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard lock(w_->mu);
        w_->armed = false;
    }

private:
    WatchState* w_;
    long limit_;
};

long limit_from_env() {
    const char* text = std::getenv("QUORIX_TEST_TIMEOUT");
    if (!text || !*text) return 300;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return (*end == '\0' && v >= 0) ? v : 300;
}

bool install() {
    const long limit = limit_from_env();
    if (limit == 0) return false;
    auto* state = new WatchState;  // leaked on purpose, see WatchState
    // The watching thread takes no signal: signal tests direct theirs at the process and
    // expect only threads that chose to take them to see them.
    sigset_t all, saved;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    std::thread(watch, state, limit).detach();
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(state, limit));
    return true;
}

[[maybe_unused]] const bool INSTALLED = install();

}  // namespace
