#include "runtime/async_fd.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Event;
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

// A connected stream pair whose end `a` has the smallest send buffer, so that it fills fast.
struct SocketPair {
    int a = -1, b = -1;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a = fds[0];
        b = fds[1];
        const int size = 1;  // the kernel rounds it up to its minimum
        EXPECT_EQ(::setsockopt(a, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    }
    ~SocketPair() {
        ::close(a);
        ::close(b);
    }
    // Writes to `a` until it reports EAGAIN.
    void fill() const {
        char buf[512] = {};
        while (::write(a, buf, sizeof buf) > 0) {
        }
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    }
    // Reads everything `a` sent.
    void drain() const {
        char buf[4096];
        while (::read(b, buf, sizeof buf) > 0) {
        }
    }
    // Byte by byte through the pair: each read frees send space of `a`, which the kernel
    // signals to whoever listens for write readiness on `a`. The pauses let the reactor
    // thread take each signal on its own rather than many as one.
    void trickle(int bytes) const {
        for (int i = 0; i < bytes; ++i) {
            char c = 'x';
            ASSERT_EQ(::write(a, &c, 1), 1);
            ASSERT_EQ(::read(b, &c, 1), 1);
            std::this_thread::sleep_for(100us);
        }
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

TEST(RtAsyncFd, AWritableWaitOnAFullSocketEndsWhenThePeerDrains) {
    Runtime rt(RuntimeConfig{.workers = 1});
    SocketPair s;
    auto afd = AsyncFd::create(s.a, rt);
    ASSERT_TRUE(afd);
    Event full;
    auto writer = [&]() -> Task<void> {
        s.fill();
        full.set();
        co_await afd->writable();
    };
    auto h = rt.spawn(writer());
    ASSERT_TRUE(full.wait());
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(h.is_finished());  // nothing freed space yet
    s.drain();
    EXPECT_TRUE(eventually([&] { return h.is_finished(); }));
}

// Space that frees up after the EAGAIN but before the wait must end the wait: the first
// round has no write interest registered yet, the second still has it from the first, the
// third has had it dropped by the reactor.
TEST(RtAsyncFd, WriteSpaceFreedBeforeTheWaitIsNotLost) {
    Runtime rt(RuntimeConfig{.workers = 1});
    SocketPair s;
    auto afd = AsyncFd::create(s.a, rt);
    ASSERT_TRUE(afd);
    auto body = [&]() -> Task<int> {
        AsyncFd::Ready ready;
        for (int round = 0; round < 3; ++round) {
            s.fill();
            ready.clear_ready();
            s.drain();
            auto r = co_await select(afd->writable(), sleep(20s));
            if (r.index() != 0) co_return round;
            ready = std::get<0>(r);
        }
        co_return 3;
    };
    EXPECT_EQ(rt.block_on(body()), 3);
}

TEST(RtAsyncFd, WritesThatDoNotWaitLeaveTheReactorAsleep) {
    Runtime rt(RuntimeConfig{.workers = 1});
    SocketPair s;
    auto afd = AsyncFd::create(s.a, rt);
    ASSERT_TRUE(afd);
    detail::Reactor& reactor = rt.reactor();
    // The pauses let events that the reactor would get reach its counter.
    s.trickle(100);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(reactor.io_events(), 0u);

    // After a wait the write interest goes with the first write space nobody waits for.
    auto wait_once = [&]() -> Task<void> {
        s.fill();
        s.drain();
        co_await afd->writable();
    };
    rt.block_on(wait_once());
    std::this_thread::sleep_for(50ms);
    const std::uint64_t after_wait = reactor.io_events();
    EXPECT_GE(after_wait, 1u);
    s.trickle(100);
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(reactor.io_events(), after_wait + 1);
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
