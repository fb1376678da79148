#pragma once

// Fd: the one owner of a file descriptor.

#include <unistd.h>

#include <utility>

namespace quorix {

/// Owns one file descriptor, or none (a negative number, such as a failed call returns), and
/// closes it when destroyed or replaced. Move-only; any thread, one owner at a time.
class Fd {
public:
    Fd() noexcept = default;
    /// Takes ownership of `fd`.
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    /// Closes the descriptor held so far, then takes `o`'s.
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    explicit operator bool() const noexcept { return fd_ >= 0; }
    /// The descriptor (negative: none); stays owned by this object.
    int get() const noexcept { return fd_; }
    /// Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    /// Closes the descriptor now, if there is one.
    void reset() noexcept {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace quorix
