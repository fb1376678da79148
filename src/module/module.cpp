// The extension's entry point: multi-phase initialisation that adds the classes, then
// the functions, in table order, and registers the exit flush of queued CAN frames.
// Importing builds nothing else: no thread, no socket, no runtime.
#include "py/convert.hpp"

#include "module/entries.hpp"
#include "module/exit_flush.hpp"

namespace quorix::module {
namespace {

struct ModuleEntry {
    const char* name;
    void (*add)(PyObject* module);
};

constexpr ModuleEntry MODULE_ENTRIES[] = {
    {"AsyncHandle", add_async_handle_type},
    {"CanDevice", add_can_device_type},
    {"CanDeviceNonBlocking", add_can_device_non_blocking_type},
    {"Device", add_device_type},
    {"Motor", add_motor_type},
    {"PrecisionTimer", add_precision_timer_type},
    {"TaskManager", add_task_manager_type},
    {"RunAsync", add_run_async_type},
    {"Timer", add_timer_type},
    {"TimerHandle", add_timer_handle_type},
    {"TimerWrapper", add_timer_wrapper_type},
    {"timer", add_timer_fn},
    {"precision_timer", add_precision_timer_fn},
    {"run_async", add_run_async},
    {"get_task_manager", add_get_task_manager},
    {"shutdown_all", add_shutdown_all},
    {"block_all", add_block_all},
    {"block_until", add_block_until},
};

int exec_module(PyObject* module) {
    return py::guarded_status([&] {
        if (!PyModule_Check(module)) {
            py::raise_cannot_convert(module, "PyModule");
        }
        // Names added before a failure stay: the import fails with that exception.
        for (const ModuleEntry& entry : MODULE_ENTRIES) entry.add(module);
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
