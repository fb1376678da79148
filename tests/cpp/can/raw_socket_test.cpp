#include "comm/can/raw_socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "comm/can/can_device_sync.hpp"
#include "fake_ip.hpp"
#include "ip_samples.hpp"

namespace quorix {
namespace {

class RawSocketOpenFails : public ::testing::TestWithParam<std::string> {};

// On a host without CAN the socket itself cannot be created; on one with CAN the name lookup or
// the bind fails (lo is not a CAN device). Either way the caller sees the one fixed text.
TEST_P(RawSocketOpenFails, WithFixedText) {
    auto s = RawSocket::open(GetParam());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text, "Failed to open CAN Socket");
    EXPECT_EQ(s.error().kind, IoErrorKind::Other);
}

INSTANTIATE_TEST_SUITE_P(Names, RawSocketOpenFails,
                         ::testing::Values(std::string("quorix-nope0"), std::string("lo"), std::string(),
                                           std::string("lo\0x", 4), std::string(5000, 'c')));

// A datagram socket pair carries whole frames the way a raw CAN socket does.
struct FramePair {
    RawSocket a = RawSocket::adopt(-1);
    RawSocket b = RawSocket::adopt(-1);
    FramePair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        a = RawSocket::adopt(fds[0]);
        b = RawSocket::adopt(fds[1]);
    }
};

TEST(RawSocketIo, FramesArriveWholeAndInOrder) {
    FramePair p;
    const std::uint8_t one[] = {1, 2};
    const std::uint8_t two[] = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_TRUE(p.a.write_frame(make_frame(0x123, one).value()).ok());
    ASSERT_TRUE(p.a.write_frame(make_frame(0x1ABCDE, two).value()).ok());
    auto first = p.b.read_frame();
    auto second = p.b.read_frame();
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(to_message(*first), CanMessage::from(0x123, one));
    EXPECT_EQ(to_message(*second), CanMessage::from(0x1ABCDE, two));
}

TEST(RawSocketIo, NonBlockingReadReportsWouldBlockAsNothing) {
    FramePair p;
    ASSERT_TRUE(p.b.set_nonblocking().ok());
    EXPECT_NE(::fcntl(p.b.fd(), F_GETFL) & O_NONBLOCK, 0);
    auto none = p.b.try_read_frame();
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->has_value());
    ASSERT_TRUE(p.a.write_frame(make_frame(0x7FF, {}).value()).ok());
    auto some = p.b.try_read_frame();
    ASSERT_TRUE(some.ok() && some->has_value());
    EXPECT_EQ(to_message(**some).id, 0x7FFu);
}

TEST(RawSocketIo, NonBlockingWriteReportsFullBufferAsFalse) {
    FramePair p;
    ASSERT_TRUE(p.a.set_nonblocking().ok());
    const can_frame f = make_frame(0x1, {}).value();
    int sent = 0;
    for (;;) {
        auto r = p.a.try_write_frame(f);
        ASSERT_TRUE(r.ok()) << r.error().text;
        if (!*r) break;
        ASSERT_LT(++sent, 1 << 20);
    }
    EXPECT_GT(sent, 0);
    // The blocking form on a non-blocking descriptor gives the system's text, not a hang.
    auto blocked = p.a.write_frame(f);
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().text, "Resource temporarily unavailable (os error 11)");
}

TEST(RawSocketIo, ShortDatagramIsNotAFrame) {
    FramePair p;
    ASSERT_EQ(::write(p.a.fd(), "abc", 3), 3);
    auto r = p.b.read_frame();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "Input/output error (os error 5)");
}

TEST(RawSocketIo, SystemFailuresCarryErrnoText) {
    RawSocket read_only = RawSocket::adopt(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto w = read_only.write_frame(make_frame(0x1, {}).value());
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().text, "Bad file descriptor (os error 9)");
    EXPECT_EQ(w.error().kind, IoErrorKind::Other);
    RawSocket write_only = RawSocket::adopt(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    auto r = write_only.read_frame();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "Bad file descriptor (os error 9)");
}

TEST(RawSocketIo, MoveTransfersOwnershipAndClosesOnce) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    ::close(fds[1]);
    {
        RawSocket a = RawSocket::adopt(fds[0]);
        RawSocket b = std::move(a);
        EXPECT_EQ(a.fd(), -1);
        EXPECT_EQ(b.fd(), fds[0]);
        a = std::move(b);
        EXPECT_EQ(a.fd(), fds[0]);
        EXPECT_EQ(::fcntl(fds[0], F_GETFD), FD_CLOEXEC);
    }
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);  // closed with its last owner
}

TEST(CanDeviceSyncOpen, ProvisioningErrorPassesUnchanged) {
    testing::FakeIpDir fake;
    fake.write("show.rc", "1");
    auto d = CanDeviceSync::open("can9");
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().text, "CAN interface 'can9' does not exist");
    EXPECT_EQ(d.error().kind, IoErrorKind::NotFound);
}

TEST(CanDeviceSyncOpen, SocketFailureAfterProvisioningHasFixedText) {
    testing::FakeIpDir fake;  // reports the interface as configured, though the kernel has none
    fake.write("show.out", ip_samples::VCAN_UP);
    auto d = CanDeviceSync::open("quorix-nope0");
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().text, "Failed to open CAN Socket");
    EXPECT_EQ(fake.log(), std::vector<std::string>{"ip|-details|link|show|quorix-nope0"});
}

}  // namespace
}  // namespace quorix
