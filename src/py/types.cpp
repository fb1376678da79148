#include "py/types.hpp"

#include <vector>

namespace quorix::py {

Ref make_type(const TypeTable& t) {
    if (t.cache && *t.cache) return Ref::borrow(reinterpret_cast<PyObject*>(*t.cache));
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(t.doc)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(t.dealloc)});
    if (t.new_fn) slots.push_back({Py_tp_new, reinterpret_cast<void*>(t.new_fn)});
    if (t.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(t.repr)});
    if (t.call) slots.push_back({Py_tp_call, reinterpret_cast<void*>(t.call)});
    if (t.methods) slots.push_back({Py_tp_methods, t.methods});
    if (t.getset) slots.push_back({Py_tp_getset, t.getset});
    // __vectorcalloffset__ must outlive the type: one static member table per type.
    PyMemberDef* members = nullptr;
    unsigned long flags = Py_TPFLAGS_DEFAULT;
    if (t.vectorcall_offset) {
        members = new PyMemberDef[2]{
            {"__vectorcalloffset__", Py_T_PYSSIZET, t.vectorcall_offset, Py_READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        slots.push_back({Py_tp_members, members});
        flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    }
    if (!t.new_fn) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    if (t.traverse) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(t.traverse)});
        if (t.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(t.clear)});
        // tp_alloc stays PyType_GenericAlloc, which allocates through the collector for
        // HAVE_GC types; the matching free is PyObject_GC_Del.
        slots.push_back({Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec{t.name, static_cast<int>(t.basicsize), 0, static_cast<unsigned int>(flags),
                     slots.data()};
    Ref type = check(PyType_FromSpec(&spec));
    if (t.cache)
        *t.cache = reinterpret_cast<PyTypeObject*>(Ref::borrow(type.get()).release());  // kept for good
    return type;
}

Ref make_function(PyObject* module, PyMethodDef* def) {
    Ref name = check(PyModule_GetNameObject(module));
    return check(PyCFunction_NewEx(def, module, name.get()));
}

}  // namespace quorix::py
