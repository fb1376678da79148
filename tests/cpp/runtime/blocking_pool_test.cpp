#include "runtime/blocking_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt::detail {
namespace {

using namespace std::chrono_literals;
using testing::Event;
using testing::eventually;

// Records what became of each job, in the order it happened.
struct Log {
    std::mutex mu;
    std::vector<std::string> entries;  // guarded by mu
    void add(std::string e) {
        std::lock_guard lock(mu);
        entries.push_back(std::move(e));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mu);
        return entries;
    }
};

class LoggedJob final : public BlockingJob {
public:
    LoggedJob(Log& log, std::string name, Event* hold = nullptr)
        : log_(log), name_(std::move(name)), hold_(hold) {}
    void run_job() override {
        log_.add("ran " + name_);
        if (hold_) hold_->wait();
    }
    void fail(const std::string& why) noexcept override { log_.add("failed " + name_ + ": " + why); }

private:
    Log& log_;
    std::string name_;
    Event* hold_;
};

// Starts the first thread asked for and refuses every later one, as a process at its thread
// limit does.
std::atomic<int> STARTS{0};
int start_one_thread(const char* name, void (*fn)(void*), void* arg) {
    if (STARTS++ > 0) return EAGAIN;
    return start_thread(name, fn, arg);
}

TEST(RtBlockingPool, JobsThatFindNoNewThreadWaitForTheRunningOneInOrder) {
    STARTS = 0;
    Log log;
    Event release;
    BlockingPool pool(4, 50ms, &start_one_thread);
    LoggedJob first(log, "a", &release), second(log, "b"), third(log, "c");
    pool.submit(&first);
    EXPECT_TRUE(eventually([&] { return log.take().size() == 1; }));
    pool.submit(&second);  // below the bound, but its thread cannot start: it waits
    pool.submit(&third);
    release.set();
    EXPECT_TRUE(eventually([&] { return log.take().size() == 3; }));
    EXPECT_EQ(log.take(), (std::vector<std::string>{"ran a", "ran b", "ran c"}));
    pool.stop();
    EXPECT_EQ(pool.thread_count(), 0u);
}

TEST(RtBlockingPool, JobsFailWhenNoThreadRunsOrCanStart) {
    STARTS = 1;  // every start is refused
    Log log;
    BlockingPool pool(4, 50ms, &start_one_thread);
    LoggedJob only(log, "a");
    pool.submit(&only);
    EXPECT_EQ(log.take(), (std::vector<std::string>{
                              "failed a: Failed to start a blocking-pool thread: Resource temporarily "
                              "unavailable (os error 11)"}));
    pool.stop();
}

}  // namespace
}  // namespace quorix::rt::detail
