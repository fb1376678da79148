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
/// without `new_fn` the builder sets DISALLOW_INSTANTIATION. With `traverse` the class
/// takes part in garbage collection (HAVE_GC, GC allocation and free); give it to every
/// class whose instances hold Python objects that may refer back to them, with `clear`
/// to break such cycles.
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
    traverseproc traverse = nullptr;   // see traverse<T>
    inquiry clear = nullptr;           // see clear<T>
};

/// Creates the type (or returns the one made by an earlier module execution) and stores
/// it in `*table.cache`. Returns a new reference.
Ref make_type(const TypeTable& table);

/// A module-level function of `module` (its __module__ is the module's name) from a static
/// def. Returns a new reference.
Ref make_function(PyObject* module, PyMethodDef* def);

/// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
inline PyCFunction fastcall(PyCFunctionFastWithKeywords fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

/// Allocates an instance of `type` and constructs its payload from `args`. An instance of a
/// collected class is tracked only once its payload is whole: a collection in between
/// never traverses a half-built payload.
template <class T, class... A>
Ref new_object(PyTypeObject* type, A&&... args) {
    Ref self = check(type->tp_alloc(type, 0));
    const bool collected = PyType_IS_GC(type);
    if (collected) PyObject_GC_UnTrack(self.get());
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
    if (collected) PyObject_GC_Track(self.get());
    return self;
}

/// tp_dealloc for Object<T>. A collected instance leaves the collector's view first (a
/// custom tp_dealloc that runs code before this one untracks at its own start, too).
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);  // a no-op when already untracked
    reinterpret_cast<Object<T>*>(self)->value.~T();
    tp->tp_free(self);
    Ref::steal(reinterpret_cast<PyObject*>(tp)).reset();  // heap types own a reference
}

template <class T>
T& payload(PyObject* self) {
    return reinterpret_cast<Object<T>*>(self)->value;
}

/// Visits `ref` when it holds an object; for the traverse() of payloads.
inline int visit_ref(const Ref& ref, visitproc visit, void* arg) { return ref ? visit(ref.get(), arg) : 0; }

/// tp_traverse for Object<T>: the type (each instance of a heap type owns a reference to
/// it), then `T::traverse(visit, arg)`, which visits only the references the payload alone
/// owns, never one that a background thread may replace meanwhile.
template <class T>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // Py_VISIT calls `visit` with `arg`
    return payload<T>(self).traverse(visit, arg);
}

/// tp_clear for Object<T>: `T::clear()` drops the references that traverse() visits (the
/// payload stays usable: a cleared instance may still be called before it is freed).
template <class T>
int clear(PyObject* self) {
    payload<T>(self).clear();
    return 0;
}

}  // namespace quorix::py
