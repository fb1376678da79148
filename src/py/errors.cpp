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

namespace {

// A new str, or `fallback` when making it failed (the failure is cleared).
Ref text_or(PyObject* made, const char* fallback) {
    if (made) return Ref::steal(made);
    PyErr_Clear();
    Ref text = Ref::steal(PyUnicode_FromString(fallback));
    if (!text) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return text;
}

// Built as a Python str throughout, so that no character is lost on the way (a C string
// would end at the first NUL, and UTF-8 refuses lone surrogates).
Ref describe_current_text() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return text_or(PyUnicode_FromString(""), "");
    Ref value = Ref::steal(exc);
    Ref qualname = text_or(PyType_GetQualName(Py_TYPE(value.get())), "<unknown>");
    Ref str = text_or(PyObject_Str(value.get()), "<exception str() failed>");
    return text_or(PyUnicode_FromFormat("%U: %U", qualname.get(), str.get()),
                   "<unknown>: <exception str() failed>");
}

std::string encode_utf8(const Ref& text, const char* errors) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", errors));
    if (!bytes) {
        PyErr_Clear();
        throw std::bad_alloc();  // neither handler can fail on a str: only memory can run out
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

std::string describe_current_exception() { return encode_utf8(describe_current_text(), "surrogatepass"); }

std::string describe_current_exception_for_console() {
    return encode_utf8(describe_current_text(), "backslashreplace");
}

void raise_text(PyObject* type, std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), size, "surrogatepass"));
    if (!message) {
        // Not produced by describe_current_exception (a C++ failure's text, say).
        PyErr_Clear();
        message = check(PyUnicode_DecodeUTF8(text.data(), size, "backslashreplace"));
    }
    PyErr_SetObject(type, message.get());
    throw PyErrorSet{};
}

}  // namespace quorix::py
