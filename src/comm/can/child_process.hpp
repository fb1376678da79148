#pragma once

#include <span>
#include <string>
#include <string_view>

#include "base/io_error.hpp"

namespace quorix {

/// How a child process ended, from waitpid.
struct ExitStatus {
    int wait_status = 0;

    /// Exited normally with status 0 (termination by a signal is not success).
    bool success() const noexcept;
};

/// A finished child whose standard output and error were captured.
struct CapturedOutput {
    ExitStatus status;
    std::string out;
    std::string err;
};

/// Runs a program without a shell: argv[0] is looked up on PATH as it is at the time of the
/// call (execvp semantics). The child starts with an empty signal mask, default SIGPIPE and
/// SIGCHLD, and no inherited handler. Blocks the calling thread until the child has exited;
/// any thread. The exit status is right whatever the program's SIGCHLD disposition (SIG_IGN
/// included): the child's end sends no SIGCHLD, and waitpid(-1) elsewhere does not reap it.
///
/// run_captured: standard input is /dev/null, standard output and error are captured.
/// run_inherited: all three are the caller's (so the child can prompt on the terminal).
/// Both fail with the system's text when the program cannot be started (not found, not
/// executable, an argument with a NUL byte is kind invalid input) or cannot be waited for.
IoResult<CapturedOutput> run_captured(std::span<const std::string_view> argv);
IoResult<ExitStatus> run_inherited(std::span<const std::string_view> argv);

}  // namespace quorix
