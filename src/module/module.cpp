// The extension's entry point: multi-phase initialisation that adds the classes, then
// the functions, in table order, and registers the exit flush of queued CAN frames.
// Importing builds nothing else: no thread, no socket, no runtime.
#include "comm/can/can_device_py.hpp"
#include "core/manager/shutdown_py.hpp"
#include "core/manager/task_manager_py.hpp"
#include "core/task/async_task_py.hpp"
#include "core/timer/timer_py.hpp"
#include "instance/motor/motor_py.hpp"
#include "module/exit_flush.hpp"
#include "py/convert.hpp"
#include "py/types.hpp"

namespace quorix::module {
namespace {

// One public name of the module: a class made from its table, or a function from its def.
struct ModuleEntry {
    constexpr ModuleEntry(const char* n, const py::TypeTable* t) : name(n), type(t) {}
    constexpr ModuleEntry(const char* n, PyMethodDef* f) : name(n), function(f) {}

    const char* name;
    const py::TypeTable* type = nullptr;
    PyMethodDef* function = nullptr;
};

// In registration order: the classes, then the functions.
constexpr ModuleEntry MODULE_ENTRIES[] = {
    {"AsyncHandle", &ASYNC_HANDLE_TABLE},
    {"CanDevice", &CAN_DEVICE_TABLE},
    {"CanDeviceNonBlocking", &CAN_DEVICE_NON_BLOCKING_TABLE},
    {"Device", &DEVICE_TABLE},
    {"Motor", &MOTOR_TABLE},
    {"PrecisionTimer", &PRECISION_TIMER_TABLE},
    {"TaskManager", &TASK_MANAGER_TABLE},
    {"RunAsync", &RUN_ASYNC_TABLE},
    {"Timer", &TIMER_TABLE},
    {"TimerHandle", &TIMER_HANDLE_TABLE},
    {"TimerWrapper", &TIMER_WRAPPER_TABLE},
    {"timer", &TIMER_FN_DEF},
    {"precision_timer", &PRECISION_TIMER_FN_DEF},
    {"run_async", &RUN_ASYNC_DEF},
    {"get_task_manager", &GET_TASK_MANAGER_DEF},
    {"shutdown_all", &SHUTDOWN_ALL_DEF},
    {"block_all", &BLOCK_ALL_DEF},
    {"block_until", &BLOCK_UNTIL_DEF},
};

// module.<name> = the class or function of `entry`.
void add_entry(PyObject* module, const ModuleEntry& entry) {
    py::Ref object = entry.type ? py::make_type(*entry.type) : py::make_function(module, entry.function);
    if (PyModule_AddObjectRef(module, entry.name, object.get()) < 0) throw py::PyErrorSet{};
}

int exec_module(PyObject* module) {
    return py::guarded_status([&] {
        if (!PyModule_Check(module)) {
            py::raise_cannot_convert(module, "PyModule");
        }
        // Names added before a failure stay: the import fails with that exception.
        for (const ModuleEntry& entry : MODULE_ENTRIES) add_entry(module, entry);
        register_exit_flush();
    });
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The runtime and the task registry are process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "quorix",
    "FOC motor drivers over SocketCAN, precise timers and background tasks for control loops.",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorix::module

PyMODINIT_FUNC PyInit_quorix(void) { return PyModuleDef_Init(&quorix::module::MODULE_DEF); }
