#include "runtime/async_fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
};

// Reads everything that arrives until `n` bytes were read, clearing readiness on EAGAIN.
Task<std::string> read_n(AsyncFd& afd, std::size_t n) {
    std::string out;
    while (out.size() < n) {
        auto ready = co_await afd.readable();
        char buf[64];
        const ssize_t got = ::read(afd.fd(), buf, sizeof buf);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            ready.clear_ready();
            continue;
        }
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    co_return out;
}

TEST(RtAsyncFd, ReadinessArrivesAndIsNotLostBetweenReads) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Pipe p;
    // Member order as in real code: the fd's owner outlives the AsyncFd.
    auto afd = AsyncFd::create(p.r, rt);
    ASSERT_TRUE(afd) << afd.error().text;
    auto h = rt.spawn(read_n(*afd, 3000));
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        const std::string chunk = "0123456789";
        ASSERT_EQ(::write(p.w, chunk.data(), chunk.size()), 10);
        sent += chunk;
        if (i % 7 == 0) std::this_thread::yield();
    }
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_EQ(h.take_result(), sent);
}

TEST(RtAsyncFd, WritableAndHangUp) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Pipe p;
    auto wfd = AsyncFd::create(p.w, rt);
    ASSERT_TRUE(wfd);
    auto body = [&]() -> Task<bool> {
        co_await wfd->writable();  // an empty pipe is writable at once
        co_return true;
    };
    EXPECT_TRUE(rt.block_on(body()));
    auto rfd = AsyncFd::create(p.r, rt);
    ASSERT_TRUE(rfd);
    ::close(p.w);  // hang-up makes the read end readable (read gives 0)
    p.w = -1;
    EXPECT_EQ(rt.block_on(read_n(*rfd, 1)), "");
}

TEST(RtAsyncFd, AnAbortedOrLosingWaitLeavesNoWaker) {
    Runtime rt(RuntimeConfig{.workers = 1});
    Pipe p;
    auto afd = AsyncFd::create(p.r, rt);
    ASSERT_TRUE(afd);
    auto lose = [&]() -> Task<int> {
        auto r = co_await select(afd->readable(), sleep(1ms));
        co_return static_cast<int>(r.index());
    };
    EXPECT_EQ(rt.block_on(lose()), 1);
    auto forever = [&]() -> Task<void> { co_await afd->readable(); };
    auto h = rt.spawn(forever());
    ASSERT_TRUE(eventually([&] { return h.valid() && !h.is_finished(); }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_THROW(h.take_result(), TaskCancelled);
    // The next reader still gets the data.
    ASSERT_EQ(::write(p.w, "x", 1), 1);
    EXPECT_EQ(rt.block_on(read_n(*afd, 1)), "x");
}

TEST(RtAsyncFd, RegisteringABadFdFails) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto afd = AsyncFd::create(-1, rt);
    ASSERT_FALSE(afd);
    EXPECT_EQ(afd.error().text, "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace quorix::rt
