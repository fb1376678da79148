#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/runtime.hpp"

namespace quorix::rt::testing {

/// A one-shot event for ordering threads and tasks in tests.
class Event {
public:
    void set() {
        std::lock_guard lock(mu_);
        set_ = true;
        cv_.notify_all();
    }
    /// False if not set within the (generous) limit: the test then fails instead of hanging.
    bool wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return set_; });
    }
    bool is_set() {
        std::lock_guard lock(mu_);
        return set_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool set_ = false;
};

/// Polls `pred` until it holds; false after the limit. For states that have no event of
/// their own (a task being suspended, a thread having exited).
template <class Pred>
bool eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

/// Counts live instances: catches leaks and double destruction.
struct Counted {
    static inline std::atomic<int> live{0};
    int value = 0;
    explicit Counted(int v = 0) : value(v) { ++live; }
    Counted(const Counted& o) : value(o.value) { ++live; }
    Counted(Counted&& o) noexcept : value(o.value) { ++live; }
    Counted& operator=(const Counted&) = default;
    Counted& operator=(Counted&&) = default;
    ~Counted() { --live; }
};

/// Sets a flag when destroyed: shows that RAII ran in an unwound task.
struct SetOnDestroy {
    std::atomic<bool>* flag;
    ~SetOnDestroy() { flag->store(true); }
};

}  // namespace quorix::rt::testing
