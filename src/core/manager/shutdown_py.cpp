// Module functions block_all(), block_until() and shutdown_all(): park the calling thread
// until SIGINT, SIGTERM or a deadline (with the interpreter lock released), then stop every
// timer and async task through the registry.
#include "core/manager/shutdown_py.hpp"

#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

#include "core/manager/registry_wait.hpp"
#include "core/manager/shutdown.hpp"
#include "core/manager/task_registry.hpp"
#include "runtime/block_on.hpp"

namespace quorix {
namespace {

constexpr py::ArgTable BLOCK_ALL_ARGS{"block_all()", {"timeout_ms"}, 0};
constexpr py::ArgTable BLOCK_UNTIL_ARGS{"block_until()", {"wait_ms", "shutdown_timeout_ms"}, 0};
constexpr py::ArgTable SHUTDOWN_ALL_ARGS{"shutdown_all()", {"timeout_ms"}, 0};

// The wait ended on a signal: run the interpreter's pending handlers now (on the main thread
// the KeyboardInterrupt of a Ctrl+C is raised here) and drop what they raise, so the signal
// that was just handled does not surface again in the caller.
void consume_pending_signals() {
    if (PyErr_CheckSignals() < 0) PyErr_Clear();
}

std::string_view block_all_impl(std::optional<std::uint64_t> timeout) {
    const std::string_view name =
        py::detached([] { return rt::block_on_runtime(wait_for_signal_then_stop(task_manager())); });
    const bool clean = py::detached([&] { return task_manager().wait_all(timeout); });
    print_shutdown_result(clean);
    consume_pending_signals();
    return name;
}

py::Ref block_until_impl(std::optional<std::uint64_t> wait_ms,
                         std::optional<std::uint64_t> shutdown_timeout_ms) {
    const ShutdownOutcome out = py::detached([&] {
        return rt::block_on_runtime(wait_then_shut_down(task_manager(), wait_ms, shutdown_timeout_ms));
    });
    // After a "timeout" a Ctrl+C that came during the shutdown wait still reaches the caller.
    if (out.reason.starts_with("signal:")) consume_pending_signals();
    py::Ref reason = py::str_object(out.reason);
    py::Ref clean = py::bool_object(out.clean);
    return py::check(PyTuple_Pack(2, reason.get(), clean.get()));
}

bool shutdown_all_impl(std::optional<std::uint64_t> timeout) {
    py::detached([] { task_manager().stop_all(); });
    return wait_all_from_python(task_manager(), timeout);
}

}  // namespace

PyMethodDef SHUTDOWN_ALL_DEF = py::function<SHUTDOWN_ALL_ARGS, shutdown_all_impl>(
    "shutdown_all",
    "shutdown_all(timeout_ms=None)\n--\n\n"
    "优雅关闭所有任务的便捷函数\n\n"
    "停止所有定时器和异步任务，并等待它们结束。\n\n"
    "参数:\n"
    "    timeout_ms: 等待任务结束的超时时间（毫秒），None 表示无限等待\n\n"
    "返回:\n"
    "    所有任务都已结束返回 True，超时返回 False");

PyMethodDef BLOCK_ALL_DEF = py::function<BLOCK_ALL_ARGS, block_all_impl>(
    "block_all",
    "block_all(timeout_ms=None)\n--\n\n"
    "阻塞当前线程，直到收到系统退出信号（SIGINT/Ctrl+C 或 SIGTERM），"
    "然后优雅关闭，停止所有定时器和任务\n\n"
    "参数:\n"
    "    timeout_ms: 收到信号后等待任务结束的超时时间（毫秒），None 表示无限等待\n\n"
    "返回:\n"
    "    收到的信号名称（\"SIGINT\" 或 \"SIGTERM\"）\n\n"
    "示例:\n"
    "    handle = update()\n"
    "    block_all(timeout_ms=5000)");

PyMethodDef BLOCK_UNTIL_DEF = py::function<BLOCK_UNTIL_ARGS, block_until_impl>(
    "block_until",
    "block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n"
    "阻塞直到收到系统退出信号或经过 wait_ms 毫秒，两种情况下都会优雅关闭\n\n"
    "参数:\n"
    "    wait_ms: 最长等待时间（毫秒），None 表示只等待信号\n"
    "    shutdown_timeout_ms: 等待任务结束的超时时间（毫秒），None 表示无限等待\n\n"
    "返回:\n"
    "    元组 (原因, 是否干净关闭)，原因为 \"signal:SIGINT\"、\"signal:SIGTERM\" 或 "
    "\"timeout\"\n\n"
    "示例:\n"
    "    reason, clean = block_until(wait_ms=10000, shutdown_timeout_ms=2000)");

}  // namespace quorix
