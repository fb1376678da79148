#include "core/manager/registry_wait.hpp"

#include "py/gil.hpp"
#include "py/signals.hpp"

#include <chrono>
#include "runtime/block_on.hpp"

namespace quorix {

bool wait_all_from_python(const TaskManager& registry, std::optional<std::uint64_t> timeout_ms) {
    rt::BlockingSection section;
    if (!py::on_main_thread()) return py::detached([&] { return registry.wait_all(timeout_ms); });
    // The counts are taken with the lock held: the registry's lock is only ever held briefly
    // and never by a thread that waits for the interpreter lock.
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
    return registry.wait_all_with(timeout_ms, now, py::sleep_running_signal_handlers);
}

}  // namespace quorix
