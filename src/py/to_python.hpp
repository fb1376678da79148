#pragma once

// Conversions back to Python: one function per kind of value. Each returns a new reference
// and throws PyErrorSet when the object cannot be made.

#include "py/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include "py/errors.hpp"

namespace quorix::py {

inline Ref none() { return Ref::borrow(Py_None); }

inline Ref bool_object(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

inline Ref float_object(double v) { return check(PyFloat_FromDouble(v)); }

inline Ref int_object(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

/// A str from UTF-8 text (any size, NULs kept).
inline Ref str_object(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// The value a method's `_impl` returns, as Python sees it: a Ref as it is, bool as
/// True/False, floating point as float, unsigned integers as int, text as str, an
/// IoResult unwrapped first (its error becomes OSError).
template <class T>
Ref to_python(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, Ref>) {
        return std::forward<T>(value);
    } else if constexpr (std::is_same_v<V, bool>) {
        return bool_object(value);
    } else if constexpr (std::is_floating_point_v<V>) {
        return float_object(static_cast<double>(value));
    } else if constexpr (std::is_integral_v<V> && std::is_unsigned_v<V>) {
        return int_object(value);
    } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
        return str_object(value);
    } else {
        static_assert(std::is_void_v<V>, "no conversion to Python for this type");
    }
}

template <class T>
Ref to_python(IoResult<T>&& result) {
    if constexpr (std::is_void_v<T>) {
        unwrap(std::move(result));
        return none();
    } else {
        return to_python(unwrap(std::move(result)));
    }
}

}  // namespace quorix::py
