#pragma once

// Processes forked from one that runs the shared runtime. fork() copies only the thread
// that calls it: a child has none of the runtime's workers, reactor or pool threads, and
// work it waits for would never happen.

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorix::rt {

inline constexpr std::string_view FORKED_AFTER_START_TEXT =
    "quorix cannot be used in a process forked after its runtime started; use the 'spawn' or "
    "'forkserver' start method";

/// Thrown instead of using the runtime in such a child. The binding layer turns it into
/// RuntimeError with the same text.
struct ForkedAfterStart : std::runtime_error {
    ForkedAfterStart() : std::runtime_error(std::string(FORKED_AFTER_START_TEXT)) {}
};

/// Records that the process-wide runtime is being created: every process forked from this
/// one from now on (and their own children) knows that it has none of the runtime's
/// threads. Call it before the runtime starts any thread. Any thread; after the first call
/// only an atomic load.
void note_runtime_start() noexcept;

/// True in a process forked after note_runtime_start() ran in its parent (or further up).
/// Lock-free, async-signal-safe.
bool forked_after_runtime_start() noexcept;

/// Throws ForkedAfterStart in such a process.
inline void check_not_forked_after_start() {
    if (forked_after_runtime_start()) throw ForkedAfterStart();
}

}  // namespace quorix::rt
