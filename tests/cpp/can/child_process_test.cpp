#include "comm/can/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

namespace quorix {
namespace {

IoResult<CapturedOutput> sh(std::string_view script) {
    const std::string_view argv[] = {"sh", "-c", script};
    return run_captured(argv);
}

TEST(RunCaptured, SeparatesStreamsAndReportsStatus) {
    auto r = sh("printf out; printf err >&2; exit 3");
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(r->out, "out");
    EXPECT_EQ(r->err, "err");
    EXPECT_FALSE(r->status.success());
    EXPECT_EQ(WEXITSTATUS(r->status.wait_status), 3);
    EXPECT_TRUE(sh("exit 0")->status.success());
}

TEST(RunCaptured, SignalDeathIsNotSuccess) {
    auto r = sh("kill -TERM $$");
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->status.success());
    EXPECT_TRUE(WIFSIGNALED(r->status.wait_status));
}

// Both pipes overflow their kernel buffers: reading only one at a time would deadlock.
TEST(RunCaptured, DrainsLargeOutputOnBothStreams) {
    auto r =
        sh("i=0; while [ $i -lt 3000 ]; do echo 0123456789012345678901234567890123456789; "
           "echo abcdefghijabcdefghijabcdefghijabcdefghij >&2; i=$((i+1)); done");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->out.size(), 3000u * 41);
    EXPECT_EQ(r->err.size(), 3000u * 41);
}

TEST(RunCaptured, ChildStartsWithNullStdinAndDefaultSignals) {
    // Python ignores SIGPIPE and threads may block signals; the child must not inherit that.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    auto r = sh("readlink /proc/self/fd/0; grep -E '^(SigBlk|SigIgn)' /proc/self/status");
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->out.substr(0, r->out.find('\n')), "/dev/null");
    EXPECT_NE(r->out.find("SigBlk:\t0000000000000000"), std::string::npos) << r->out;
    // SIGPIPE is signal 13: bit 12 of the ignored set.
    const auto ign = r->out.substr(r->out.find("SigIgn:\t") + 8, 16);
    EXPECT_EQ(std::stoull(ign, nullptr, 16) & (1ull << 12), 0u) << ign;
}

TEST(RunChild, StartFailuresCarrySystemText) {
    const std::string_view missing[] = {"quorix-no-such-program"};
    auto a = run_captured(missing);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error().text, "No such file or directory (os error 2)");
    EXPECT_EQ(a.error().kind, IoErrorKind::NotFound);
    auto b = run_inherited(missing);
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().text, "No such file or directory (os error 2)");
    const std::string_view nul[] = {"sh", std::string_view("a\0b", 3)};
    auto c = run_inherited(nul);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind, IoErrorKind::InvalidInput);
}

TEST(RunInherited, ReportsExitStatus) {
    const std::string_view ok[] = {"true"};
    const std::string_view bad[] = {"false"};
    ASSERT_TRUE(run_inherited(ok).ok());
    EXPECT_TRUE(run_inherited(ok)->success());
    EXPECT_FALSE(run_inherited(bad)->success());
}

}  // namespace
}  // namespace quorix
