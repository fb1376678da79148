#pragma once

// Methods, module functions and getters declared as one table row around a typed `_impl`:
//
//   constexpr ArgTable SEND_ARGS{"CanDevice.send()", {"id", "data"}, 2};
//   IoResult<void> send_impl(PyCanDevice& d, std::uint32_t id, const ByteArg& data);
//   PyMethodDef METHODS[] = {py::method<SEND_ARGS, send_impl>("send", "send($self, id, data)\n--\n\n..."),
//   ...};
//
// The adapter parses with the table, converts each parameter in order (T: get<T>;
// std::optional<T>: opt<T>, omitted or None gives nullopt), hands `self` as the payload the
// `_impl` names (or as PyObject*), and converts the result back with to_python (void is
// None). Everything lives on the stack: the adapter allocates nothing of its own.

#include "py/ref.hpp"

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

namespace quorix::py {
namespace detail {

template <class T>
struct Param {
    static T from(const Args& a, std::size_t i) { return a.get<T>(i); }
};
template <class T>
struct Param<std::optional<T>> {
    static std::optional<T> from(const Args& a, std::size_t i) { return a.opt<T>(i); }
};

template <class S>
decltype(auto) self_as(PyObject* self) {
    if constexpr (std::is_same_v<S, PyObject*>) {
        return self;
    } else {
        static_assert(std::is_lvalue_reference_v<S>, "self is PyObject* or a reference to the payload");
        return payload<std::remove_cvref_t<S>>(self);
    }
}

template <class R, class F>
Ref result_of(F&& call) {
    if constexpr (std::is_void_v<R>) {
        std::forward<F>(call)();
        return none();
    } else {
        return to_python(std::forward<F>(call)());
    }
}

// The parameters are converted inside one braced list: left to right, as the table lists them.
template <const ArgTable& TABLE, class R, class... P>
struct Invoke {
    static_assert(sizeof...(P) == TABLE.params.size(),
                  "the _impl takes one value per parameter of the table");

    template <class Call, std::size_t... I>
    static Ref run(Call&& call, const Args& a, std::index_sequence<I...>) {
        (void)a;  // unused by an _impl without parameters
        std::tuple<std::remove_cvref_t<P>...> values{Param<std::remove_cvref_t<P>>::from(a, I)...};
        return result_of<R>([&]() -> R { return call(std::move(std::get<I>(values))...); });
    }
};

template <class Sig>
struct ImplOf;
template <class R, class... P>
struct ImplOf<R (*)(P...)> {
    template <const ArgTable& TABLE>
    static Ref function(R (*impl)(P...), const Args& a) {
        return Invoke<TABLE, R, P...>::run(impl, a, std::index_sequence_for<P...>{});
    }
};
template <class Sig>
struct MethodOf;
template <class R, class S, class... P>
struct MethodOf<R (*)(S, P...)> {
    template <const ArgTable& TABLE>
    static Ref method(R (*impl)(S, P...), PyObject* self, const Args& a) {
        auto call = [&](auto&&... v) -> R { return impl(self_as<S>(self), std::forward<decltype(v)>(v)...); };
        return Invoke<TABLE, R, P...>::run(call, a, std::index_sequence_for<P...>{});
    }
    static Ref getter(R (*impl)(S), PyObject* self) {
        return result_of<R>([&]() -> R { return impl(self_as<S>(self)); });
    }
};

template <const ArgTable& TABLE, auto IMPL>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args a = parse<TABLE>(args, nargs, kwnames);
        return MethodOf<decltype(IMPL)>::template method<TABLE>(IMPL, self, a);
    });
}

template <const ArgTable& TABLE, auto IMPL>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args a = parse<TABLE>(args, nargs, kwnames);
        return ImplOf<decltype(IMPL)>::template function<TABLE>(IMPL, a);
    });
}

template <auto IMPL>
PyObject* getter_entry(PyObject* self, void*) {
    return guarded([&] { return MethodOf<decltype(IMPL)>::getter(IMPL, self); });
}

}  // namespace detail

/// A method row: `IMPL(self, params...)`, self being PyObject* or a reference to the payload.
template <const ArgTable& TABLE, auto IMPL>
inline PyMethodDef method(const char* name, const char* doc) {
    return {name, fastcall(detail::method_entry<TABLE, IMPL>), METH_FASTCALL | METH_KEYWORDS, doc};
}

/// A module function's def: `IMPL(params...)`.
template <const ArgTable& TABLE, auto IMPL>
inline PyMethodDef function(const char* name, const char* doc) {
    return {name, fastcall(detail::function_entry<TABLE, IMPL>), METH_FASTCALL | METH_KEYWORDS, doc};
}

/// A read-only property row: `IMPL(self)`.
template <auto IMPL>
inline PyGetSetDef getter(const char* name, const char* doc) {
    return {name, detail::getter_entry<IMPL>, nullptr, doc, nullptr};
}

}  // namespace quorix::py
