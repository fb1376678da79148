// Python class TaskManager and get_task_manager(): a stateless view onto the
// process-wide task registry.
#include "core/manager/task_manager_py.hpp"

#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

#include <string>
#include "core/manager/registry_wait.hpp"
#include "core/manager/task_registry.hpp"

namespace quorix {
namespace {

struct PyTaskManager {};

PyTypeObject* TASK_MANAGER_TYPE = nullptr;

py::Ref new_task_manager() { return py::new_object<PyTaskManager>(TASK_MANAGER_TYPE); }

constexpr py::ArgTable NEW_ARGS{"TaskManager.__new__()", {}, 0};
constexpr py::ArgTable STOP_ALL_ARGS{"TaskManager.stop_all()", {}, 0};
constexpr py::ArgTable WAIT_ALL_ARGS{"TaskManager.wait_all()", {"timeout_ms"}, 0};
constexpr py::ArgTable SHUTDOWN_ARGS{"TaskManager.shutdown()", {"timeout_ms"}, 0};
constexpr py::ArgTable CLEANUP_ARGS{"TaskManager.cleanup()", {}, 0};
constexpr py::ArgTable STATUS_ARGS{"TaskManager.status()", {}, 0};
constexpr py::ArgTable GET_TASK_MANAGER_ARGS{"get_task_manager()", {}, 0};

PyObject* tm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        py::parse_tuple<NEW_ARGS>(args, kwargs);
        return py::new_object<PyTaskManager>(type);
    });
}

std::size_t get_running_count(PyObject*) { return task_manager().running_count(); }
std::size_t get_total_count(PyObject*) { return task_manager().total_count(); }
std::size_t get_timer_count(PyObject*) { return task_manager().timer_count(); }
std::size_t get_async_task_count(PyObject*) { return task_manager().async_task_count(); }

void tm_stop_all(PyObject*) { task_manager().stop_all(); }

bool tm_wait_all(PyObject*, std::optional<std::uint64_t> timeout) {
    return wait_all_from_python(task_manager(), timeout);
}

bool tm_shutdown(PyObject*, std::optional<std::uint64_t> timeout) {
    py::detached([] { task_manager().stop_all(); });
    return wait_all_from_python(task_manager(), timeout);
}

void tm_cleanup(PyObject*) { task_manager().cleanup(); }

py::Ref tm_status(PyObject*) {
    const StatusSummary s = task_manager().status_summary();  // one consistent scan
    py::Ref dict = py::check(PyDict_New());
    const std::pair<const char*, std::size_t> items[] = {
        {"running_timers", s.running_timers},
        {"running_tasks", s.running_tasks},
        {"stopped", s.stopped},
        {"total", s.total},
    };
    for (const auto& [key, value] : items) {
        py::Ref v = py::int_object(value);
        if (PyDict_SetItemString(dict.get(), key, v.get()) < 0) throw py::PyErrorSet{};
    }
    return dict;
}

PyObject* tm_repr(PyObject*) {
    return py::guarded([&] {
        const StatusSummary s = task_manager().status_summary();
        const std::string text = "TaskManager(timers=" + std::to_string(s.running_timers) +
                                 ", tasks=" + std::to_string(s.running_tasks) +
                                 ", stopped=" + std::to_string(s.stopped) +
                                 ", total=" + std::to_string(s.total) + ")";
        return py::str_object(text);
    });
}

PyMethodDef TASK_MANAGER_METHODS[] = {
    py::method<STOP_ALL_ARGS, tm_stop_all>("stop_all",
                                           "stop_all($self)\n--\n\n停止所有任务（定时器和异步任务）"),
    py::method<WAIT_ALL_ARGS, tm_wait_all>("wait_all",
                                           "wait_all($self, timeout_ms=None)\n--\n\n"
                                           "等待所有任务完成\n\n"
                                           "参数:\n    timeout_ms: 超时时间（毫秒），None 表示无限等待\n\n"
                                           "返回:\n    所有任务都已完成返回 True，超时返回 False\n\n"
                                           "示例:\n    manager.wait_all(timeout_ms=5000)"),
    py::method<SHUTDOWN_ARGS, tm_shutdown>("shutdown",
                                           "shutdown($self, timeout_ms=None)\n--\n\n"
                                           "优雅关闭：先停止所有任务，再等待它们结束\n\n"
                                           "参数:\n    timeout_ms: 超时时间（毫秒），None 表示无限等待\n\n"
                                           "返回:\n    所有任务都已完成返回 True，超时返回 False\n\n"
                                           "示例:\n    manager.shutdown(timeout_ms=5000)"),
    py::method<CLEANUP_ARGS, tm_cleanup>("cleanup", "cleanup($self)\n--\n\n清理已完成的任务"),
    py::method<STATUS_ARGS, tm_status>(
        "status",
        "status($self)\n--\n\n"
        "获取任务状态\n\n"
        "返回:\n    字典，包含 running_timers（运行中的定时器数）、running_tasks（运行中的异步任务数）、"
        "stopped（已停止的任务数）和 total（任务总数）"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef TASK_MANAGER_GETSET[] = {
    py::getter<get_running_count>("running_count", "运行中的任务数量"),
    py::getter<get_total_count>("total_count", "所有任务的数量"),
    py::getter<get_timer_count>("timer_count", "运行中的定时器数量"),
    py::getter<get_async_task_count>("async_task_count", "运行中的异步任务数量"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constexpr py::TypeTable TASK_MANAGER_TABLE{
    .name = "builtins.TaskManager",
    .doc = "TaskManager()\n--\n\n可从 Python 访问的任务管理器\n\n查看并控制所有定时器和异步任务。",
    .basicsize = sizeof(py::Object<PyTaskManager>),
    .dealloc = py::dealloc<PyTaskManager>,
    .new_fn = tm_new,
    .repr = tm_repr,
    .methods = TASK_MANAGER_METHODS,
    .getset = TASK_MANAGER_GETSET,
    .cache = &TASK_MANAGER_TYPE,
};

PyMethodDef GET_TASK_MANAGER_DEF = py::function<GET_TASK_MANAGER_ARGS, new_task_manager>(
    "get_task_manager",
    "get_task_manager()\n--\n\n"
    "获取全局任务管理器\n\n"
    "示例:\n    manager = get_task_manager()\n    print(manager.running_count)");

}  // namespace quorix
