#include "runtime/signal.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "runtime/block_on.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

std::atomic<int> PREVIOUS_CALLS{0};
extern "C" void previous_handler(int) {
    ++PREVIOUS_CALLS;
    errno = EDOM;  // our handler must restore the interrupted code's errno anyway
}

TEST(RtSignal, ChainsToThePreviousHandlerAndWakesEveryListener) {
    struct sigaction prev {};
    prev.sa_handler = &previous_handler;
    sigemptyset(&prev.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &prev, nullptr), 0);

    auto a = SignalListener::create(SIGUSR1);
    auto b = SignalListener::create(SIGUSR1);
    ASSERT_TRUE(a && b);
    auto both = [&]() -> Task<int> {
        co_await a->recv();
        co_await b->recv();
        co_return 2;
    };
    errno = 0;
    ASSERT_EQ(::raise(SIGUSR1), 0);  // delivered to this thread before raise returns
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(PREVIOUS_CALLS.load(), 1);
    EXPECT_EQ(block_on_runtime(both()), 2);

    // A listener created after a delivery does not see it; a later one wakes it up.
    auto late = SignalListener::create(SIGUSR1);
    ASSERT_TRUE(late);
    auto wait_late = [&]() -> Task<int> {
        auto r = co_await select(late->recv(), sleep(1ms));
        co_return static_cast<int>(r.index());
    };
    EXPECT_EQ(block_on_runtime(wait_late()), 1);
    auto h = spawn([](SignalListener& l) -> Task<void> { co_await l.recv(); }(*late));
    ASSERT_TRUE(eventually([&] { return !h.is_finished(); }));
    ASSERT_EQ(::raise(SIGUSR1), 0);
    EXPECT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_EQ(PREVIOUS_CALLS.load(), 2);
}

TEST(RtSignal, ADefaultDispositionIsNotCalledAndUncatchableSignalsAreRefused) {
    ::signal(SIGUSR2, SIG_DFL);
    auto l = SignalListener::create(SIGUSR2);
    ASSERT_TRUE(l);
    ASSERT_EQ(::raise(SIGUSR2), 0);  // would end the process if the default action ran
    EXPECT_EQ(block_on_runtime([](SignalListener& s) -> Task<int> {
                  co_await s.recv();
                  co_return 1;
              }(*l)),
              1);
    for (int bad : {0, -1, SIGKILL, SIGSTOP, 4096}) {
        auto r = SignalListener::create(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().kind, IoErrorKind::InvalidInput);
    }
}

TEST(RtSignal, AnAbortedReceiveLeavesTheListenerUsable) {
    auto l = SignalListener::create(SIGUSR1);
    ASSERT_TRUE(l);
    auto h = spawn([](SignalListener& s) -> Task<void> { co_await s.recv(); }(*l));
    ASSERT_TRUE(eventually([&] { return h.valid() && !h.is_finished(); }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_THROW(h.take_result(), TaskCancelled);
    ASSERT_EQ(::raise(SIGUSR1), 0);
    EXPECT_EQ(block_on_runtime([](SignalListener& s) -> Task<int> {
                  co_await s.recv();
                  co_return 1;
              }(*l)),
              1);
}

// Waits for one delivery to `l`, or gives up after a generous limit (false).
bool received(SignalListener& l) {
    return block_on_runtime([](SignalListener& s) -> Task<bool> {
        auto r = co_await select(s.recv(), sleep(20s));
        co_return r.index() == 0;
    }(l));
}

std::atomic<int> REPLACEMENT_CALLS{0};
extern "C" void replacement_handler(int) { ++REPLACEMENT_CALLS; }

std::atomic<int> LIBRARY_CALLS{0};
struct sigaction TAKEN_OVER {};  // the handler the "library" replaced: ours
extern "C" void library_handler(int sig, siginfo_t* info, void* context) {
    ++LIBRARY_CALLS;
    TAKEN_OVER.sa_sigaction(sig, info, context);  // hands the signal on to ours
}

// As Python's signal.signal() does (asyncio.run() on entry and exit): the next listener
// puts ours back, chaining to the replacement once per delivery.
TEST(RtSignal, ANewListenerReinstallsOverAReplacementAndChainsToIt) {
    ASSERT_TRUE(SignalListener::create(SIGWINCH));  // ours goes in and stays
    struct sigaction replacement {};
    replacement.sa_handler = &replacement_handler;
    sigemptyset(&replacement.sa_mask);
    ASSERT_EQ(::sigaction(SIGWINCH, &replacement, nullptr), 0);

    auto l = SignalListener::create(SIGWINCH);
    ASSERT_TRUE(l);
    ASSERT_EQ(::raise(SIGWINCH), 0);
    EXPECT_EQ(REPLACEMENT_CALLS.load(), 1);
    EXPECT_TRUE(received(*l));

    // Ours in place already: another listener changes nothing, still one call per delivery.
    auto again = SignalListener::create(SIGWINCH);
    ASSERT_TRUE(again);
    ASSERT_EQ(::raise(SIGWINCH), 0);
    EXPECT_EQ(REPLACEMENT_CALLS.load(), 2);
    EXPECT_TRUE(received(*l));
    EXPECT_TRUE(received(*again));
}

// A handler that took over from ours and hands each signal back to it: reinstalled over
// it, ours chains to it once and does not follow it back round (no endless recursion).
TEST(RtSignal, AReplacementThatChainsBackToOursIsCalledOnce) {
    ASSERT_TRUE(SignalListener::create(SIGURG));
    struct sigaction library {};
    library.sa_sigaction = &library_handler;
    library.sa_flags = SA_SIGINFO;
    sigemptyset(&library.sa_mask);
    ASSERT_EQ(::sigaction(SIGURG, &library, &TAKEN_OVER), 0);
    ASSERT_TRUE(TAKEN_OVER.sa_flags & SA_SIGINFO);

    auto l = SignalListener::create(SIGURG);
    ASSERT_TRUE(l);
    ASSERT_EQ(::raise(SIGURG), 0);
    EXPECT_EQ(LIBRARY_CALLS.load(), 1);
    EXPECT_TRUE(received(*l));
}

}  // namespace
}  // namespace quorix::rt
