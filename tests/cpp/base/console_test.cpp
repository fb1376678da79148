#include "base/console.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace quorix {
namespace {

// Each case runs in a forked child whose fd 2 is one end of a channel (a pipe, a socket, a
// terminal) that this process reads, or does not read, as the case needs. The child reports
// through its exit status; a write_stderr that blocks ends in SIGALRM.

enum class Channel { Pipe, Socket, Terminal };

struct Ends {
    int child = -1;   // becomes the child's fd 2
    int parent = -1;  // read here
};

// `small`: buffers that fill after a few hundred short lines.
Ends open_channel(Channel kind, bool small) {
    Ends e;
    if (kind == Channel::Pipe) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return e;
        if (small) ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        e = {fds[1], fds[0]};
    } else if (kind == Channel::Socket) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return e;
        const int size = 4096;
        if (small) ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        if (small) ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        e = {fds[0], fds[1]};
    } else {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return e;
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);  // bytes pass unchanged ("\n" is not turned into "\r\n")
        ::tcsetattr(slave, TCSANOW, &raw);
        e = {slave, master};
    }
    return e;
}

// Everything up to end-of-file (a terminal whose other side is gone reports EIO instead).
std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return out;
    }
}

// One byte from `fd`, waiting at most `limit`; false on time-out or end-of-file.
bool read_signal(int fd, std::chrono::seconds limit = std::chrono::seconds(60)) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return ::poll(&p, 1, static_cast<int>(limit.count() * 1000)) == 1 && ::read(fd, &c, 1) == 1;
}

struct Child {
    pid_t pid = -1;
    int output = -1;  // the channel's parent end
    int ready = -1;   // the child writes one byte here when its lines are written
};

// Forks a child that runs `body(ready_fd)` with fd 2 on the channel and exits with its result.
Child fork_child(Channel kind, const std::function<int(int)>& body, bool small = true) {
    Ends ends = open_channel(kind, small);
    int ready[2];
    if (ends.child < 0 || ::pipe2(ready, O_CLOEXEC) != 0) return {};
    std::fflush(nullptr);  // the child's exit would write our buffered output a second time
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(60);  // a blocked write_stderr ends the child instead of the test run
        ::dup2(ends.child, STDERR_FILENO);
        ::_exit(body(ready[1]));
    }
    ::close(ends.child);
    ::close(ready[1]);
    return {pid, ends.parent, ready[0]};
}

// The child's wait status, or -1 if it has not ended within the (generous) limit.
int wait_for(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

std::string numbered(int i) {
    char line[32];
    std::snprintf(line, sizeof line, "line %05d\n", i);
    return line;
}

std::string warning(int dropped) {
    return "Warning: " + std::to_string(dropped) +
           " diagnostic lines were dropped while stderr was blocked\n";
}

// ThreadSanitizer cannot run a thread started in a child forked from a multi-threaded process
// (the test binary has its watchdog thread): such a child hangs. The cases whose child starts
// the writer thread are skipped there.
#if defined(__SANITIZE_THREAD__)
#define SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED() \
    GTEST_SKIP() << "ThreadSanitizer: no threads after a threaded fork"
#else
#define SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED() (void)0
#endif

class ConsoleTest : public ::testing::TestWithParam<Channel> {};

std::string channel_name(const ::testing::TestParamInfo<Channel>& info) {
    switch (info.param) {
        case Channel::Pipe: return "Pipe";
        case Channel::Socket: return "Socket";
        case Channel::Terminal: return "Terminal";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Channels, ConsoleTest,
                         ::testing::Values(Channel::Pipe, Channel::Socket, Channel::Terminal), channel_name);

TEST_P(ConsoleTest, FlowingOutputIsWrittenAtOnceWithoutAWriterThread) {
    // Read as it comes: a reader that keeps up never makes a line wait.
    Child c = fork_child(
        GetParam(),
        [](int) {
            for (int i = 0; i < 200; ++i) write_stderr(numbered(i));
            return stderr_writer_started() ? 3 : 0;
        },
        /*small=*/false);
    ASSERT_GT(c.pid, 0);
    const std::string out = read_all(c.output);
    const int status = wait_for(c.pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer thread was started";
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += numbered(i);
    EXPECT_EQ(out, expected);
}

// Nobody reads while the child writes far more than the channel and the queue hold: every call
// returns, the kept lines come out whole and in order, and one warning counts the rest. The kept
// lines need not be one prefix: a channel that takes more while the child still writes (a
// terminal moves its buffered bytes on later) frees queue room for later lines.
TEST_P(ConsoleTest, BlockedOutputNeverBlocksKeepsOrderAndCountsDropped) {
    SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
    constexpr int LINES = 20000;
    Child c = fork_child(GetParam(), [](int ready) -> int {
        for (int i = 0; i < LINES; ++i) write_stderr(numbered(i));
        const bool started = stderr_writer_started();
        (void)::write(ready, "x", 1);
        // The parent reads from now on; wait for everything before leaving.
        return started && flush_stderr(std::chrono::seconds(60)) ? 0 : 3;
    });
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(read_signal(c.ready)) << "write_stderr blocked";
    const std::string out = read_all(c.output);
    const int status = wait_for(c.pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Numbered lines in increasing order, starting with the first, then the warning last.
    int kept = 0;
    int next = 0;  // the lowest number the next kept line may have
    std::size_t at = 0;
    while (at < out.size() && out.compare(at, 5, "line ") == 0) {
        const int n = std::atoi(out.c_str() + at + 5);
        ASSERT_GE(n, next) << "out of order at byte " << at;
        ASSERT_LT(n, LINES);
        ASSERT_EQ(out.compare(at, numbered(n).size(), numbered(n)), 0) << "a torn line at byte " << at;
        if (kept == 0) {
            ASSERT_EQ(n, 0) << "the first line was not kept";
        }
        at += numbered(n).size();
        next = n + 1;
        ++kept;
    }
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, LINES);
    EXPECT_EQ(out.substr(at), warning(LINES - kept));
}

// At exit, lines still queued are written once the reader comes back.
TEST_P(ConsoleTest, ExitWritesQueuedLines) {
    SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
    Child c = fork_child(GetParam(), [](int ready) -> int {
        int i = 0;
        while (!stderr_writer_started()) write_stderr(numbered(i++));  // until one waits
        write_stderr("last\n");
        (void)::write(ready, &i, sizeof i);
        std::exit(0);
    });
    ASSERT_GT(c.pid, 0);
    int filled = 0;
    pollfd p{c.ready, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 60000), 1);
    ASSERT_EQ(::read(c.ready, &filled, sizeof filled), static_cast<ssize_t>(sizeof filled));
    const std::string out = read_all(c.output);
    const int status = wait_for(c.pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    std::string expected;
    for (int i = 0; i < filled; ++i) expected += numbered(i);
    EXPECT_EQ(out, expected + "last\n");
}

// A reader that never comes back does not keep the process from ending.
TEST(Console, ExitWithAStuckReaderEnds) {
    SKIP_IF_THREADS_AFTER_FORK_UNSUPPORTED();
    Child c = fork_child(Channel::Pipe, [](int) -> int {
        for (int i = 0; i < 2000; ++i) write_stderr(numbered(i));
        std::exit(0);
    });
    ASSERT_GT(c.pid, 0);
    const int status = wait_for(c.pid);  // the pipe is not read until the child has ended
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_all(c.output).substr(0, 22), numbered(0) + numbered(1));
}

}  // namespace
}  // namespace quorix
