#include "py/errors.hpp"

namespace quorix::py {

Ref check(PyObject* p) {
    if (!p) throw PyErrorSet{};
    return Ref::steal(p);
}

PyObject* panic_exception_type() {
    // Created once and never freed: instances may outlive any module object.
    static PyObject* const TYPE = PyErr_NewExceptionWithDoc(
        "quorix.PanicException", "Internal failure from which the operation cannot continue.",
        PyExc_BaseException, nullptr);
    return TYPE;
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

void set_os_error(const IoError& e) noexcept {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(e.text.data(), static_cast<Py_ssize_t>(e.text.size())));
    if (!text) return;
    PyErr_SetObject(PyExc_OSError, text.get());
}

void set_panic(const char* text) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) return;  // creating the type failed: its exception is set
    PyErr_SetString(type, text);
}

std::string describe_current_exception() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return {};
    Ref value = Ref::steal(exc);
    std::string out;
    {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value.get())));
        const char* q = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
        out = q ? q : "<unknown>";
        PyErr_Clear();
    }
    out += ": ";
    Ref str = Ref::steal(PyObject_Str(value.get()));
    const char* s = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (s) {
        out += s;
    } else {
        out += "<exception str() failed>";
    }
    PyErr_Clear();
    return out;
}

}  // namespace quorix::py
