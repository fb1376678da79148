#include "base/thread.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;

std::vector<int> members(const sigset_t& set) {
    std::vector<int> out;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&set, sig) == 1) out.push_back(sig);
    return out;
}

sigset_t current_mask() {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return mask;
}

struct SigBlkCase {
    std::string text;
    std::optional<std::vector<int>> blocked;
};

class RtParseBlockedSignals : public ::testing::TestWithParam<SigBlkCase> {};

TEST_P(RtParseBlockedSignals, Parses) {
    const auto parsed = detail::parse_blocked_signals(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().blocked.has_value()) << GetParam().text;
    if (parsed) {
        EXPECT_EQ(members(*parsed), *GetParam().blocked) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtParseBlockedSignals,
    ::testing::Values(SigBlkCase{"SigBlk:\t0000000000000000\n", std::vector<int>{}},
                      SigBlkCase{"SigBlk:\t0000000000004002", std::vector<int>{SIGINT, SIGTERM}},
                      SigBlkCase{"SigBlk:\t0000000000000200\n", std::vector<int>{SIGUSR1}},
                      SigBlkCase{"SigBlk:\t8000000000000000\n", std::vector<int>{64}},
                      // The whole file: the line is found among the others, upper case read too.
                      SigBlkCase{"Name:\tpython\nSigPnd:\t0000000000000002\nShdPnd:\t0000000000000000\n"
                                 "SigBlk:\t000000000000000A\nSigIgn:\t0000000001001000\n",
                                 std::vector<int>{SIGINT, SIGILL}},
                      SigBlkCase{"Name:\tpython\nSigPnd:\t0\n", std::nullopt},
                      SigBlkCase{"SigBlk:\t00000000000x0000\n", std::nullopt},
                      SigBlkCase{"SigBlk:\t\n", std::nullopt}));

// What a thread of the runtime sees, step by step, around calls into the application.
struct MaskSteps {
    bool runtime_thread = false;
    sigset_t before, inside, nested, after_nested, after;
};

MaskSteps observe_mask_steps() {
    MaskSteps s;
    s.runtime_thread = on_runtime_thread();
    s.before = current_mask();
    {
        ApplicationSignalMask outer;
        s.inside = current_mask();
        {
            ApplicationSignalMask inner;
            s.nested = current_mask();
        }
        s.after_nested = current_mask();
    }
    s.after = current_mask();
    return s;
}

TEST(RtApplicationSignalMask, OnARuntimeThreadTheApplicationsMaskHoldsOnlyDuringTheScope) {
    Runtime rt(RuntimeConfig{.workers = 1, .keep_alive = 50ms});
    const MaskSteps s = rt.block_on(
        [](Runtime& rt) -> Task<MaskSteps> { co_return co_await rt.spawn_blocking(observe_mask_steps); }(rt));
    const auto app = members(application_signal_mask());
    EXPECT_TRUE(s.runtime_thread);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGRTMIN}) {
        EXPECT_EQ(sigismember(&s.before, sig), 1) << sig;
        EXPECT_EQ(sigismember(&s.after, sig), 1) << sig;
    }
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE}) EXPECT_EQ(sigismember(&s.before, sig), 0) << sig;
    EXPECT_EQ(members(s.inside), app);
    EXPECT_EQ(members(s.nested), app);
    EXPECT_EQ(members(s.after_nested), app) << "a nested scope must not block the signals again";
    EXPECT_EQ(members(s.after), members(s.before));
}

TEST(RtApplicationSignalMask, OtherThreadsKeepTheirOwnMask) {
    MaskSteps s;
    std::thread t([&] {
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
        s = observe_mask_steps();
    });
    t.join();
    EXPECT_FALSE(s.runtime_thread);
    for (const sigset_t* m : {&s.inside, &s.nested, &s.after}) EXPECT_EQ(members(*m), members(s.before));
    EXPECT_EQ(sigismember(&s.inside, SIGUSR2), 1);
}

TEST(RtApplicationSignalMask, RecordedFromTheMainThreadBeforeTheFirstRuntime) {
    // This process's main thread (which runs the tests) blocks nothing of its own.
    Runtime rt(RuntimeConfig{.workers = 1});
    EXPECT_EQ(members(application_signal_mask()), members(current_mask()));
}

}  // namespace
}  // namespace quorix::rt
