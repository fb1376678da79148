// A wake that lands after a poll came back pending but before the task left RUNNING must
// run the task again. Landing a wake in that window by chance takes luck (a stress test
// hits it now and then); the test seam in TaskCore::run puts one there on every poll of the
// watched task, so a transition that overwrites the wake loses the task in the first round.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "runtime/mpsc.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using testing::Event;
using testing::eventually;

enum class WakeFrom { SendOnThePollingThread, SendFromAnotherThread, Abort };

const char* name_of(WakeFrom from) {
    switch (from) {
        case WakeFrom::SendOnThePollingThread: return "SendOnThePollingThread";
        case WakeFrom::SendFromAnotherThread: return "SendFromAnotherThread";
        case WakeFrom::Abort: return "Abort";
    }
    return "?";
}
void PrintTo(WakeFrom from, std::ostream* os) { *os << name_of(from); }

constexpr int ROUNDS = 500;

// What the seam does for the watched task; everything else passes through untouched.
struct Window {
    std::atomic<detail::TaskCore*> task{nullptr};  // set by the body on its first poll
    WakeFrom from = WakeFrom::SendOnThePollingThread;
    std::optional<mpsc::Sender<int>> tx;
    int sends_left = ROUNDS;  // only touched in the window: one poll of the task at a time
    std::atomic<int> hits{0};
    // The helper thread of SendFromAnotherThread: the window waits until it has sent.
    std::atomic<int> requested{0}, served{0};
};

std::atomic<Window*> WINDOW{nullptr};

void send_or_close(Window& w) {
    if (!w.tx) return;
    if (w.sends_left-- > 0) {
        w.tx->send(w.sends_left);
    } else {
        w.tx.reset();  // closing wakes the receiver too: the last wake also lands in the window
    }
}

void in_window(detail::TaskCore* task) {
    Window* w = WINDOW.load(std::memory_order_acquire);
    if (!w || task != w->task.load(std::memory_order_acquire)) return;
    w->hits.fetch_add(1, std::memory_order_relaxed);
    switch (w->from) {
        case WakeFrom::SendOnThePollingThread: send_or_close(*w); break;
        case WakeFrom::SendFromAnotherThread: {
            const int ticket = w->requested.fetch_add(1, std::memory_order_acq_rel) + 1;
            // Bounded: a helper that never answers fails the test through the task's result.
            eventually([&] { return w->served.load(std::memory_order_acquire) >= ticket; });
            break;
        }
        case WakeFrom::Abort:
            if (w->hits.load(std::memory_order_relaxed) == 1) task->cancel();
            break;
    }
}

// Installs the seam for one test; declared before the runtime, so the workers are gone
// before the seam and its window are.
class Seam {
public:
    explicit Seam(Window& w) {
        WINDOW.store(&w, std::memory_order_release);
        detail::AFTER_PENDING_POLL_HOOK.store(&in_window, std::memory_order_release);
    }
    ~Seam() {
        detail::AFTER_PENDING_POLL_HOOK.store(nullptr, std::memory_order_release);
        WINDOW.store(nullptr, std::memory_order_release);
    }
    Seam(const Seam&) = delete;
    Seam& operator=(const Seam&) = delete;
};

Task<int> count_until_closed(mpsc::Receiver<int> rx, Window& w) {
    w.task.store(detail::current_context()->task, std::memory_order_release);
    int n = 0;
    while (co_await rx.recv()) ++n;
    co_return n;
}

// Serves the window's requests from its own thread, so the wake comes from elsewhere
// while the polling thread sits in the window.
class Helper {
public:
    explicit Helper(Window& w) : w_(w) {
        if (w.from != WakeFrom::SendFromAnotherThread) return;
        thread_ = std::thread([this] {
            for (int served = 0; !stop_.load(std::memory_order_acquire);) {
                if (w_.requested.load(std::memory_order_acquire) > served) {
                    send_or_close(w_);
                    w_.served.store(++served, std::memory_order_release);
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    ~Helper() {
        stop_.store(true, std::memory_order_release);
        if (thread_.joinable()) thread_.join();
    }

private:
    Window& w_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RtWakeWindow : public ::testing::TestWithParam<WakeFrom> {};

TEST_P(RtWakeWindow, WakeBetweenPendingPollAndLeavingRunningRunsTheTaskAgain) {
    Window w;
    w.from = GetParam();
    auto [tx, rx] = mpsc::channel<int>();
    w.tx.emplace(std::move(tx));
    Helper helper(w);
    Seam seam(w);
    Runtime rt(RuntimeConfig{.workers = 2});
    JoinHandle<int> h = rt.spawn(count_until_closed(std::move(rx), w));
    // Every pending poll of this task is followed by a wake, so until it is done it is always
    // queued or running: seen idle even once, it lost a wake and will never run again.
    bool finished = false, lost = false;
    eventually([&] {
        finished = h.is_finished();
        const detail::TaskCore* task = w.task.load(std::memory_order_acquire);  // the handle keeps it
        const std::uint32_t busy =
            detail::TaskCore::SCHEDULED | detail::TaskCore::RUNNING | detail::TaskCore::DONE;
        lost = !finished && task && !(task->state() & busy);
        return finished || lost;
    });
    if (!finished) {
        // A fresh wake from the idle state still gets through: the task ends, nothing leaks.
        h.abort();
        ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
        FAIL() << "the task was " << (lost ? "lost" : "still not done") << " after " << w.hits.load()
               << " wakes in the window";
    }
    EXPECT_GE(w.hits.load(), 1);  // the seam is in place
    if (w.from == WakeFrom::Abort) {
        EXPECT_THROW(h.take_result(), TaskCancelled);
    } else {
        EXPECT_EQ(h.take_result(), ROUNDS);
        EXPECT_GE(w.hits.load(), ROUNDS + 1);  // every message and the close
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, RtWakeWindow,
                         ::testing::Values(WakeFrom::SendOnThePollingThread, WakeFrom::SendFromAnotherThread,
                                           WakeFrom::Abort),
                         [](const auto& info) { return std::string(name_of(info.param)); });

}  // namespace
}  // namespace quorix::rt
