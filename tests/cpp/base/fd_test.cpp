#include "base/fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace quorix {
namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Fd, ReplacingClosesTheHeldDescriptorAndReleasingKeepsItOpen) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd a{fds[0]};
    a = Fd{fds[1]};  // the read end has no other owner: replacing it must not leak it
    EXPECT_FALSE(is_open(fds[0]));
    EXPECT_EQ(a.get(), fds[1]);
    Fd b = std::move(a);
    EXPECT_FALSE(a);
    const int released = b.release();
    EXPECT_FALSE(b);
    EXPECT_TRUE(is_open(released));
    ::close(released);
}

}  // namespace
}  // namespace quorix
