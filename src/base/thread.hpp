#pragma once

// Threads of the runtime, and the signal mask they show while they call into the
// application.

#include <pthread.h>
#include <signal.h>

#include <optional>
#include <string_view>

namespace quorix::rt {

/// The signal mask of the process's main thread when the first runtime of the process
/// started (recorded once, before the runtime's threads exist); an empty mask if none has
/// started yet.
sigset_t application_signal_mask() noexcept;

/// True on a thread started by the runtime (start_thread), which keeps every asynchronous
/// signal blocked while it runs the runtime's own code.
bool on_runtime_thread() noexcept;

/// While it lives, a runtime thread has application_signal_mask() instead of its own: use
/// it around every call into the application (Python code), so that the processes and
/// threads that code starts inherit the mask the application expects, and a signal that
/// lands here during the call is handled like on any application thread. When it ends,
/// every asynchronous signal is blocked again. Does nothing on other threads, and inside
/// another live ApplicationSignalMask of the same thread. Use it as a local.
class ApplicationSignalMask {
public:
    ApplicationSignalMask() noexcept;
    ~ApplicationSignalMask();
    ApplicationSignalMask(const ApplicationSignalMask&) = delete;
    ApplicationSignalMask& operator=(const ApplicationSignalMask&) = delete;

private:
    bool swapped_ = false;
};

namespace detail {

/// Starts a thread named `name` that runs fn(arg), with every asynchronous signal blocked so
/// that process-directed signals (Ctrl+C) reach the application's own threads, where the
/// Python interpreter expects them. Detached unless `joinable` is given, which receives the
/// thread. Returns 0 or the error number of pthread_create.
int start_thread(const char* name, void (*fn)(void*), void* arg, pthread_t* joinable = nullptr) noexcept;

/// Records application_signal_mask() the first time it is called in the process; later
/// calls do nothing. The runtime calls it before it starts its first thread.
void record_application_signal_mask() noexcept;

/// The blocked set of one "SigBlk:" line of /proc/<pid>/task/<tid>/status (the whole text of
/// the file may be given); nullopt if there is no such line or it cannot be read.
std::optional<sigset_t> parse_blocked_signals(std::string_view status) noexcept;

}  // namespace detail

}  // namespace quorix::rt
