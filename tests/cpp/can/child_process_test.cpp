#include "comm/can/child_process.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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
    struct sigaction ignore_chld {
    }, old_chld{};
    ignore_chld.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore_chld, &old_chld);
    auto r = sh("readlink /proc/self/fd/0; grep -E '^(SigBlk|SigIgn)' /proc/self/status");
    ::sigaction(SIGCHLD, &old_chld, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->out.substr(0, r->out.find('\n')), "/dev/null");
    EXPECT_NE(r->out.find("SigBlk:\t0000000000000000"), std::string::npos) << r->out;
    // SIGPIPE is signal 13: bit 12 of the ignored set.
    const auto ign = r->out.substr(r->out.find("SigIgn:\t") + 8, 16);
    EXPECT_EQ(std::stoull(ign, nullptr, 16) & (1ull << 12), 0u) << ign;
    EXPECT_EQ(std::stoull(ign, nullptr, 16) & (1ull << 16), 0u) << ign;  // SIGCHLD, 17
}

// How the program treats SIGCHLD must not change what a command's status is. With SIG_IGN
// (or SA_NOCLDWAIT) the kernel reaps ordinary children on its own, status and all.
class ChildStatusUnderSigchld : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        struct sigaction sa {};
        if (GetParam() == 0) {
            sa.sa_handler = SIG_IGN;
        } else {
            sa.sa_handler = [](int) {};
            sa.sa_flags = SA_NOCLDWAIT;
        }
        ::sigaction(SIGCHLD, &sa, &old_);
    }
    void TearDown() override { ::sigaction(SIGCHLD, &old_, nullptr); }
    struct sigaction old_ {};
};

INSTANTIATE_TEST_SUITE_P(Dispositions, ChildStatusUnderSigchld, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Ignored" : "NoChildWait"; });

TEST_P(ChildStatusUnderSigchld, StatusAndStartFailuresStayExact) {
    auto r = sh("printf out; exit 3");
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(r->out, "out");
    EXPECT_EQ(WEXITSTATUS(r->status.wait_status), 3);
    EXPECT_TRUE(sh("exit 0")->status.success());
    const std::string_view bad[] = {"false"};
    auto b = run_inherited(bad);
    ASSERT_TRUE(b.ok()) << b.error().text;
    EXPECT_FALSE(b->success());
    const std::string_view missing[] = {"quorix-no-such-program"};
    EXPECT_EQ(run_captured(missing).error().text, "No such file or directory (os error 2)");
}

// A thread of the program that reaps any child (waitpid(-1)) must not take ours.
TEST(RunCaptured, WaitingForAnyChildElsewhereDoesNotTakeOurs) {
    std::atomic<bool> done{false};
    std::thread reaper([&] {
        while (!done.load()) {
            int st;
            ::waitpid(-1, &st, WNOHANG);
            std::this_thread::yield();
        }
    });
    auto r = sh("sleep 0.2; exit 5");
    done = true;
    reaper.join();
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(WEXITSTATUS(r->status.wait_status), 5);
}

// execvp's search: a candidate that is not executable is passed over; if none can run, the
// answer is EACCES rather than ENOENT.
TEST(RunChild, SearchSkipsProgramsThatCannotRun) {
    const auto dir = std::filesystem::temp_directory_path() / ("quorix-path-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "a");
    std::filesystem::create_directories(dir / "b");
    std::ofstream(dir / "a" / "qxprog") << "#!/bin/sh\necho a\n";
    std::ofstream(dir / "b" / "qxprog") << "#!/bin/sh\necho b\n";
    ::chmod((dir / "a" / "qxprog").c_str(), 0644);
    ::chmod((dir / "b" / "qxprog").c_str(), 0755);
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", ((dir / "a").string() + ":" + (dir / "b").string()).c_str(), 1);
    const std::string_view prog[] = {"qxprog"};
    auto found = run_captured(prog);
    ::chmod((dir / "b" / "qxprog").c_str(), 0644);
    auto refused = run_captured(prog);
    ::setenv("PATH", old_path.c_str(), 1);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(found.ok()) << found.error().text;
    EXPECT_EQ(found->out, "b\n");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().text, "Permission denied (os error 13)");
}

// A program whose own standard streams are closed still gives the child /dev/null and the
// capture pipes on 0, 1 and 2 (the pipes then get the low numbers themselves).
TEST(RunCaptured, WorksWithTheCallersStandardStreamsClosed) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(0);
        ::close(1);
        auto r = sh("readlink /proc/self/fd/0; printf out");
        ::_exit(r.ok() && r->out == "/dev/null\nout" && r->status.success() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
