#include "comm/can/raw_socket.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quorix {

namespace {

// The kernel's name lookup needs a NUL-terminated copy; a name with an embedded NUL byte or one
// that cannot fit an interface name can never match, so it fails without a lookup.
unsigned interface_index(std::string_view name) noexcept {
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string_view::npos) return 0;
    char buf[IFNAMSIZ] = {};
    std::memcpy(buf, name.data(), name.size());
    return ::if_nametoindex(buf);
}

// A classic raw socket moves whole 16-byte frames; anything else is not a frame.
IoError short_transfer() { return IoError::from_errno(EIO); }

}  // namespace

IoResult<RawSocket> RawSocket::open(std::string_view interface) {
    const unsigned index = interface_index(interface);
    if (index == 0) return IoError::other("Failed to open CAN Socket");
    Fd fd{::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW)};
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
        return IoError::other("Failed to open CAN Socket");  // the reason is not shown
    return RawSocket{std::move(fd)};
}

IoResult<void> RawSocket::set_nonblocking() {
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) < 0) return IoError::other("IO error");
    return {};
}

IoResult<std::optional<can_frame>> RawSocket::try_read_frame() {
    can_frame frame;
    for (;;) {
        const ssize_t n = ::read(fd_.get(), &frame, sizeof frame);
        if (n == static_cast<ssize_t>(sizeof frame)) return std::optional<can_frame>{frame};
        if (n >= 0) return short_transfer();
        const int code = errno;
        if (code == EINTR) continue;
        if (code == EAGAIN || code == EWOULDBLOCK) return std::optional<can_frame>{};
        return IoError::from_errno(code);
    }
}

IoResult<bool> RawSocket::try_write_frame(const can_frame& frame) {
    for (;;) {
        const ssize_t n = ::write(fd_.get(), &frame, sizeof frame);
        if (n == static_cast<ssize_t>(sizeof frame)) return true;
        if (n >= 0) return short_transfer();
        const int code = errno;
        if (code == EINTR) continue;
        if (code == EAGAIN || code == EWOULDBLOCK) return false;
        return IoError::from_errno(code);
    }
}

IoResult<can_frame> RawSocket::read_frame() {
    auto r = try_read_frame();
    if (!r) return std::move(r).error();
    // A blocking socket never reports EAGAIN; a descriptor switched to non-blocking elsewhere
    // does, and then the caller gets the system's text rather than a frame that is not there.
    if (!*r) return IoError::from_errno(EAGAIN);
    return **r;
}

IoResult<void> RawSocket::write_frame(const can_frame& frame) {
    auto r = try_write_frame(frame);
    if (!r) return std::move(r).error();
    if (!*r) return IoError::from_errno(EAGAIN);
    return {};
}

}  // namespace quorix
