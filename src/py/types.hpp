#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <new>
#include <utility>
#include "py/errors.hpp"

namespace quorix::py {

/// A Python object whose payload is the C++ value T, constructed in place.
template <class T>
struct Object {
    PyObject_HEAD T value;
};

/// One class of the module. `name` is "builtins.ClassName": __module__ is "builtins"
/// and __qualname__ the bare name. No base-type flag, no __dict__, no weak references;
/// without `new_fn` the builder sets DISALLOW_INSTANTIATION.
struct TypeTable {
    const char* name;
    const char* doc;
    Py_ssize_t basicsize;
    destructor dealloc;
    newfunc new_fn = nullptr;
    reprfunc repr = nullptr;
    ternaryfunc call = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    Py_ssize_t vectorcall_offset = 0;  // non-zero: instances are vectorcall-callable
    PyTypeObject** cache = nullptr;    // where the process keeps the type object
};

/// Creates the type (or returns the one made by an earlier module execution) and stores
/// it in `*table.cache`. Returns a new reference.
Ref make_type(const TypeTable& table);

/// make_type, then module.<bare name> = type.
void add_type(PyObject* module, const TypeTable& table);

/// Adds a module-level function (METH_FASTCALL | METH_KEYWORDS) from a static def.
void add_function(PyObject* module, PyMethodDef* def);

/// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
inline PyCFunction fastcall(PyCFunctionFastWithKeywords fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

/// Allocates an instance of `type` and constructs its payload from `args`.
template <class T, class... A>
Ref new_object(PyTypeObject* type, A&&... args) {
    Ref self = check(type->tp_alloc(type, 0));
    auto* obj = reinterpret_cast<Object<T>*>(self.get());
    try {
        new (&obj->value) T(std::forward<A>(args)...);
    } catch (...) {
        // The payload was never constructed: free the raw allocation without running
        // its destructor.
        PyObject* raw = self.release();
        PyTypeObject* tp = Py_TYPE(raw);
        tp->tp_free(raw);
        Ref::steal(reinterpret_cast<PyObject*>(tp)).reset();
        throw;
    }
    return self;
}

/// tp_dealloc for Object<T>.
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Object<T>*>(self)->value.~T();
    tp->tp_free(self);
    Ref::steal(reinterpret_cast<PyObject*>(tp)).reset();  // heap types own a reference
}

template <class T>
T& payload(PyObject* self) {
    return reinterpret_cast<Object<T>*>(self)->value;
}

}  // namespace quorix::py
