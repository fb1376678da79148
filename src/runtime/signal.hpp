#pragma once

// SignalListener: awaiting deliveries of a POSIX signal.

#include <cstdint>
#include <memory>

#include "base/io_error.hpp"
#include "runtime/task.hpp"

namespace quorix::rt {

namespace detail {
struct SignalSlot;
}

/// Sees the deliveries of one signal that happen while it exists.
///
/// Creating a listener makes sure that the process-level handler (sigaction) of the signal
/// is ours: the first one installs it, and a later one puts it back if something replaced
/// it meanwhile (Python's signal.signal(), as asyncio.run() does). The handler calls the
/// handler it replaced last, never itself (for SIGINT under Python, the interpreter's own,
/// which records the KeyboardInterrupt);
/// a previous disposition of default or ignore gets no call, so e.g. SIGTERM no longer
/// ends the process. Then it counts the delivery and writes an eventfd that the shared
/// runtime's reactor watches; the reactor wakes every listener of that signal. The handler
/// is async-signal-safe and keeps errno.
///
/// Deliveries that arrive between two recv() are coalesced into one.
class SignalListener {
public:
    /// A listener for `signo`, installing the handler if it is not in place (and creating the
    /// shared runtime if needed). Fails for signals that cannot be caught (SIGKILL,
    /// SIGSTOP, out of range) with InvalidInput, or with the sigaction/eventfd error.
    static IoResult<SignalListener> create(int signo);

    SignalListener(SignalListener&&) noexcept;
    SignalListener& operator=(SignalListener&&) noexcept;
    ~SignalListener();

    int signo() const noexcept;

    /// Leaf awaitable: completes when the signal has been delivered since this listener was
    /// created or since the previous recv() completed. One task at a time.
    class [[nodiscard]] RecvAwaiter : public PollAwaiter<RecvAwaiter> {
    public:
        explicit RecvAwaiter(detail::SignalSlot* slot) noexcept : slot_(slot) {}
        RecvAwaiter(RecvAwaiter&& o) noexcept : PollAwaiter<RecvAwaiter>(o), slot_(o.slot_) {}
        ~RecvAwaiter();
        bool poll(detail::PollContext& cx);
        void take() noexcept {}

    private:
        detail::SignalSlot* slot_;
        bool registered_ = false;
    };

    [[nodiscard]] RecvAwaiter recv() noexcept { return RecvAwaiter(slot_.get()); }

private:
    explicit SignalListener(std::unique_ptr<detail::SignalSlot> slot) noexcept;
    std::unique_ptr<detail::SignalSlot> slot_;
};

/// How many times `signo` has reached the process-level handler (0 before it is installed).
std::uint64_t signal_delivery_count(int signo) noexcept;

}  // namespace quorix::rt
