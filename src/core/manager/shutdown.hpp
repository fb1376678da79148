#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include "core/manager/task_registry.hpp"
#include "runtime/task.hpp"

// Shutdown coordination: waiting for SIGINT, SIGTERM or a deadline, then stopping every
// timer and async task through the registry. Progress lines go straight to standard error.

namespace quorix {

/// Completes with "SIGINT" or "SIGTERM", whichever is delivered first once its listeners
/// exist. The listeners are created at the first poll (installing, the first time in the
/// process, handlers that chain to the previous ones and stay) and dropped at the end.
/// When both signals are pending, either name may win. Throws Panic("Failed to register
/// SIGINT handler: ...") (or SIGTERM) when a listener cannot be created.
rt::Task<std::string_view> wait_for_shutdown_signal();

/// The asynchronous part of block_all: waits for a signal, prints
/// "\n[quorix] Received {name}, initiating graceful shutdown...\n", calls `registry.stop_all()`
/// and gives the signal's name.
rt::Task<std::string_view> wait_for_signal_then_stop(TaskManager& registry);

struct ShutdownOutcome {
    std::string reason;  // "signal:SIGINT", "signal:SIGTERM" or "timeout"
    bool clean = false;  // wait_all's result
};

/// The asynchronous part of block_until: waits for a signal, racing it against a sleep of
/// `wait_ms` when given (a fresh random order at each poll); prints the "Stopping" line with
/// the reason; stop_all; wait_all(`shutdown_timeout_ms`) on the polling thread itself (so it
/// must be driven by block_on, not spawned); prints the outcome line.
rt::Task<ShutdownOutcome> wait_then_shut_down(TaskManager& registry, std::optional<std::uint64_t> wait_ms,
                                              std::optional<std::uint64_t> shutdown_timeout_ms);

/// "[quorix] All tasks stopped successfully\n" or
/// "[quorix] Shutdown timed out, some tasks may still be running\n".
void print_shutdown_result(bool clean) noexcept;

}  // namespace quorix
