#include "runtime/reactor.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "base/fd.hpp"
#include "base/thread.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt::detail {
namespace {

std::unique_ptr<Reactor> make_reactor() {
    auto r = Reactor::create();
    EXPECT_TRUE(r.ok());
    return std::unique_ptr<Reactor>(r.ok() ? r.value() : nullptr);
}

TEST(RtReactorWatch, CallsBackOnItsThreadWhileTheDescriptorStaysReadable) {
    Fd fd{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    ASSERT_TRUE(fd);
    std::atomic<int> calls{0};
    std::atomic<bool> on_reactor_thread{true};
    testing::Event drained;
    auto reactor = make_reactor();  // declared last: its thread stops before the above go
    ASSERT_TRUE(reactor);
    auto watched = reactor->watch_readable(fd.get(), [&] {
        if (!on_runtime_thread()) on_reactor_thread = false;
        // Level-triggered: the first call leaves the count in place and is called again.
        if (++calls < 2) return;
        std::uint64_t n;
        while (::read(fd.get(), &n, sizeof n) > 0) {
        }
        drained.set();
    });
    ASSERT_TRUE(watched.ok());
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(fd.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    ASSERT_TRUE(drained.wait());
    EXPECT_GE(calls.load(), 2);
    EXPECT_TRUE(on_reactor_thread.load());
}

TEST(RtReactorWatch, RefusesADescriptorThatIsNotOpen) {
    auto reactor = make_reactor();
    ASSERT_TRUE(reactor);
    auto watched = reactor->watch_readable(-1, [] {});
    ASSERT_FALSE(watched.ok());
    EXPECT_EQ(watched.error().text, "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace quorix::rt::detail
