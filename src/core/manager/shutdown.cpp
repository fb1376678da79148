#include "core/manager/shutdown.hpp"

#include <csignal>
#include <variant>
#include "base/console.hpp"
#include "base/panic.hpp"
#include "runtime/select.hpp"
#include "runtime/signal.hpp"
#include "runtime/time.hpp"

namespace quorix {
namespace {

rt::SignalListener listen_for(int signo, const char* name) {
    auto listener = rt::SignalListener::create(signo);
    if (!listener)
        throw Panic(std::string("Failed to register ") + name + " handler: " + listener.error().text);
    return std::move(listener).value();
}

}  // namespace

rt::Task<std::string_view> wait_for_shutdown_signal() {
    rt::SignalListener sigint = listen_for(SIGINT, "SIGINT");
    rt::SignalListener sigterm = listen_for(SIGTERM, "SIGTERM");
    const auto winner = co_await rt::select(sigint.recv(), sigterm.recv());
    co_return winner.index() == 0 ? std::string_view("SIGINT") : std::string_view("SIGTERM");
}

rt::Task<std::string_view> wait_for_signal_then_stop(TaskManager& registry) {
    const std::string_view name = co_await wait_for_shutdown_signal();
    write_stderr("\n[quorix] Received " + std::string(name) + ", initiating graceful shutdown...\n");
    registry.stop_all();
    co_return name;
}

rt::Task<ShutdownOutcome> wait_then_shut_down(TaskManager& registry, std::optional<std::uint64_t> wait_ms,
                                              std::optional<std::uint64_t> shutdown_timeout_ms) {
    ShutdownOutcome out;
    if (wait_ms) {
        // A wait too long to represent never ends by itself (the runtime saturates it).
        const auto raced =
            co_await rt::select(wait_for_shutdown_signal(),
                                rt::sleep(std::chrono::duration<std::uint64_t, std::milli>(*wait_ms)));
        out.reason =
            raced.index() == 0 ? "signal:" + std::string(std::get<0>(raced)) : std::string("timeout");
    } else {
        out.reason = "signal:" + std::string(co_await wait_for_shutdown_signal());
    }
    write_stderr("\n[quorix] Stopping (reason: " + out.reason + "), initiating graceful shutdown...\n");
    registry.stop_all();
    out.clean = registry.wait_all(shutdown_timeout_ms);  // sleeps on the thread driving this task
    print_shutdown_result(out.clean);
    co_return out;
}

void print_shutdown_result(bool clean) noexcept {
    write_stderr(clean ? "[quorix] All tasks stopped successfully\n"
                       : "[quorix] Shutdown timed out, some tasks may still be running\n");
}

}  // namespace quorix
