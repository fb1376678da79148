#include "py/args.hpp"

#include <string>
#include <string_view>

namespace quorix::py {
namespace {

[[noreturn, gnu::cold]] void type_error(const std::string& text) { raise(PyExc_TypeError, text); }

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn, gnu::cold]] void too_many_positional(const ArgTable& t, Py_ssize_t given) {
    const std::size_t n = t.params.size();
    const char* verb = given == 1 ? "was" : "were";
    std::string text = t.callable;
    if (t.required == n) {
        text += " takes " + std::to_string(n) + " positional arguments but ";
    } else {
        text += " takes from " + std::to_string(t.required) + " to " + std::to_string(n) +
                " positional arguments but ";
    }
    text += std::to_string(given) + " " + verb + " given";
    type_error(text);
}

[[noreturn, gnu::cold]] void missing_required(const ArgTable& t, const std::vector<const char*>& names) {
    std::string text = std::string(t.callable) + " missing " + std::to_string(names.size()) +
                       " required positional " + (names.size() == 1 ? "argument" : "arguments") + ": " +
                       quoted_list(names);
    type_error(text);
}

// Keyword lookup by text: the parameter names are C strings, so each keyword is compared
// as UTF-8 (cached in the str object by CPython), never by identity. A keyword that has no
// UTF-8 form (a lone surrogate) matches no parameter.
std::size_t find_param(const ArgTable& t, PyObject* key) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) {
        PyErr_Clear();
        return t.params.size();
    }
    const std::string_view name(utf8, static_cast<std::size_t>(len));
    std::size_t i = 0;
    for (const char* p : t.params) {
        if (name == p) return i;
        ++i;
    }
    return t.params.size();
}

// %U writes the keyword as it is, also one without a UTF-8 form.
[[noreturn, gnu::cold]] void unexpected_keyword(const ArgTable& t, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", t.callable, key);
    throw PyErrorSet{};
}

void store_keyword(Args& a, std::array<PyObject*, MAX_PARAMS>& slots, const ArgTable& t, PyObject* key,
                   PyObject* value) {
    const std::size_t i = find_param(t, key);
    if (i == t.params.size()) unexpected_keyword(t, key);
    if (slots[i])
        type_error(std::string(t.callable) + " got multiple values for argument '" + a.name(i) + "'");
    slots[i] = value;
}

void check_missing(const ArgTable& t, const std::array<PyObject*, MAX_PARAMS>& slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < t.required; ++i) {
        if (!slots[i]) missing.push_back(t.params.begin()[i]);
    }
    if (!missing.empty()) missing_required(t, missing);
}

}  // namespace

void Args::wrap_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref msg = check(PyObject_Str(cause.get()));
    Ref text = check(PyUnicode_FromFormat("argument '%s': %U", param, msg.get()));
    Ref exc = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    PyException_SetCause(exc.get(), cause.release());  // steals the cause
    PyErr_SetRaisedException(exc.release());
    throw PyErrorSet{};
}

Args parse(const ArgTable& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    Args a(t);
    if (static_cast<std::size_t>(nargs) > t.params.size()) too_many_positional(t, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) a.slots_[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            store_keyword(a, a.slots_, t, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        }
    }
    check_missing(t, a.slots_);
    return a;
}

Args parse_tuple(const ArgTable& t, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    Args a(t);
    if (static_cast<std::size_t>(nargs) > t.params.size()) too_many_positional(t, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) a.slots_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) store_keyword(a, a.slots_, t, key, value);
    }
    check_missing(t, a.slots_);
    return a;
}

}  // namespace quorix::py
