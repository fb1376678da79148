#pragma once

#include <cstdint>
#include <optional>

#include "core/manager/task_registry.hpp"

namespace quorix {

/// registry.wait_all(timeout_ms) for the waits that Python code calls (TaskManager.wait_all,
/// TaskManager.shutdown, shutdown_all): the same result, with the interpreter lock released
/// while it sleeps. On the main thread it runs pending signal handlers every few
/// milliseconds, and what they raise ends the wait (throws py::PyErrorSet with it set).
/// Reached from a task's function, whose thread would otherwise hold a place in the bounded
/// blocking pool that a task waited for may need, that thread stops counting towards the
/// bound. Call it with the interpreter lock held.
bool wait_all_from_python(const TaskManager& registry, std::optional<std::uint64_t> timeout_ms);

}  // namespace quorix
