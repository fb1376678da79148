#pragma once

namespace quorix::rt {

/// Reads a registered fd on the reactor thread the moment it becomes readable, which saves
/// the wake of a task for every event: the thread the kernel wakes does the work.
class ReadHook {
public:
    virtual ~ReadHook() = default;
    /// Called by the reactor thread for each read-readiness event of the fd. True: the event
    /// was dealt with (the fd was read until EAGAIN) and the readable() awaiter is not told;
    /// false: the event goes to that awaiter as it would without a hook, which then reads
    /// the fd itself. Must never wait (the reactor serves every timer and fd), nor throw.
    /// It may still be called after the AsyncFd was destroyed, for an event of the batch
    /// in progress: it must know by then that the fd is gone.
    virtual bool on_readable() noexcept = 0;
};

}  // namespace quorix::rt
