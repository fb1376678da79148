#pragma once

#include <linux/can.h>

#include <optional>
#include <string_view>
#include <utility>

#include "base/fd.hpp"
#include "base/io_error.hpp"

namespace quorix {

/// An open raw SocketCAN socket (CAN_RAW) bound to one interface. Move-only; the descriptor is
/// closed when the owner is destroyed. No socket option is changed: no receive filter, the
/// kernel's default loopback, so the socket sees every frame on the bus except its own.
///
/// Blocking after open(); set_nonblocking() switches it for use with a readiness reactor (fd()).
/// Concurrent calls from several threads are safe as far as the kernel is concerned; frames are
/// read and written whole.
class RawSocket {
public:
    /// Opens a socket on `interface`: looks up its index, creates the socket, binds it.
    /// Any failure (unknown name, a name with a NUL byte or too long, socket or bind refused)
    /// gives kind other "Failed to open CAN Socket"; the system's reason is not shown.
    static IoResult<RawSocket> open(std::string_view interface);

    /// Takes ownership of an open descriptor that carries whole can_frame records (a CAN
    /// socket opened elsewhere, or a datagram socket pair in tests).
    static RawSocket adopt(int fd) noexcept { return RawSocket{Fd{fd}}; }

    /// The descriptor, for readiness registration; stays owned by this object.
    int fd() const noexcept { return fd_.get(); }

    /// Switches the descriptor to O_NONBLOCK. Fails with kind other "IO error".
    IoResult<void> set_nonblocking();

    /// Reads one frame, waiting for it when the socket is blocking; EINTR is retried.
    /// Fails with the system's text "<description> (os error N)".
    IoResult<can_frame> read_frame();

    /// Writes one frame, waiting for buffer space when the socket is blocking; EINTR is
    /// retried. A full transmit queue fails with ENOBUFS' text.
    IoResult<void> write_frame(const can_frame& frame);

    /// Non-blocking forms: std::nullopt / false when the call would block (EAGAIN), so a
    /// reactor can wait for readiness and call again. Other failures as above.
    IoResult<std::optional<can_frame>> try_read_frame();
    IoResult<bool> try_write_frame(const can_frame& frame);

private:
    explicit RawSocket(Fd fd) noexcept : fd_(std::move(fd)) {}

    Fd fd_;
};

}  // namespace quorix
