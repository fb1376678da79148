#pragma once

#include <Python.h>

// One function per public name of the module; each creates its class or function and
// adds it to the module, throwing py::PyErrorSet on failure.
namespace quorix::module {

void add_async_handle_type(PyObject* module);
void add_can_device_type(PyObject* module);
void add_can_device_non_blocking_type(PyObject* module);
void add_device_type(PyObject* module);
void add_motor_type(PyObject* module);
void add_precision_timer_type(PyObject* module);
void add_task_manager_type(PyObject* module);
void add_run_async_type(PyObject* module);
void add_timer_type(PyObject* module);
void add_timer_handle_type(PyObject* module);
void add_timer_wrapper_type(PyObject* module);
void add_timer_fn(PyObject* module);
void add_precision_timer_fn(PyObject* module);
void add_run_async(PyObject* module);
void add_get_task_manager(PyObject* module);
void add_shutdown_all(PyObject* module);
void add_block_all(PyObject* module);
void add_block_until(PyObject* module);

}  // namespace quorix::module
