#pragma once

#include "py/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include "py/convert.hpp"

namespace quorix::py {

/// One callable's parameters: display name ("Class.method()", "Class.__new__()",
/// "Class.__call__()", "function()"), parameter names in order, and how many of the
/// first ones are required. Every parameter may be given by position or keyword.
struct ArgTable {
    const char* callable;
    std::initializer_list<const char*> params;
    std::size_t required = 0;
};

/// The most parameters a table may list (the parsed slots live on the stack).
inline constexpr std::size_t MAX_PARAMS = 6;

/// Whether `table` fits the parser; parse<TABLE> and the method adapters check it at compile time.
constexpr bool fits_parser(const ArgTable& table) {
    return table.params.size() <= MAX_PARAMS && table.required <= table.params.size();
}

/// Parsed arguments: borrowed references, valid while the call lasts.
class Args {
public:
    explicit Args(const ArgTable& table) : table_(&table) {}

    /// The object given for parameter `i`, or nullptr when it was omitted.
    PyObject* raw(std::size_t i) const { return slots_[i]; }
    /// Given and not None.
    bool present(std::size_t i) const { return slots_[i] && slots_[i] != Py_None; }

    /// Converts parameter `i` (which must be present) to T. A TypeError becomes
    /// "argument '{}': {}" with the original as its cause; other errors pass unchanged.
    template <class T>
    T get(std::size_t i) const {
        return convert_arg<T>(i, slots_[i]);
    }
    /// Omitted or None -> nullopt; otherwise get<T>.
    template <class T>
    std::optional<T> opt(std::size_t i) const {
        if (!present(i)) return std::nullopt;
        return get<T>(i);
    }
    const char* name(std::size_t i) const { return table_->params.begin()[i]; }

    /// Runs `convert(obj)` with the TypeError wrapping of argument `i`.
    template <class T, class F>
    T with_context(std::size_t i, F&& convert) const {
        try {
            return convert();
        } catch (const PyErrorSet&) {
            wrap_type_error(name(i));
        }
    }

private:
    template <class T>
    T convert_arg(std::size_t i, PyObject* obj) const {
        return with_context<T>(i, [&] { return Converter<T>::from(obj); });
    }
    [[noreturn]] static void wrap_type_error(const char* param);

    friend Args parse(const ArgTable&, PyObject* const*, Py_ssize_t, PyObject*);
    friend Args parse_tuple(const ArgTable&, PyObject*, PyObject*);

    const ArgTable* table_;
    std::array<PyObject*, MAX_PARAMS> slots_{};
};

/// Vectorcall / METH_FASTCALL|METH_KEYWORDS form. Use parse<TABLE>, which checks the table.
Args parse(const ArgTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// tp_new / tp_call form (tuple and optional dict). Use parse_tuple<TABLE>.
Args parse_tuple(const ArgTable& table, PyObject* args, PyObject* kwargs);

template <const ArgTable& TABLE>
Args parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(fits_parser(TABLE), "more parameters than MAX_PARAMS, or more required than listed");
    return parse(TABLE, args, nargs, kwnames);
}

template <const ArgTable& TABLE>
Args parse_tuple(PyObject* args, PyObject* kwargs) {
    static_assert(fits_parser(TABLE), "more parameters than MAX_PARAMS, or more required than listed");
    return parse_tuple(TABLE, args, kwargs);
}

}  // namespace quorix::py
