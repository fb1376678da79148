#pragma once

#include "py/ref.hpp"

#include <cxxabi.h>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include "base/fork.hpp"
#include "base/io_error.hpp"
#include "base/panic.hpp"

namespace quorix::py {

/// Thrown when a Python exception is already set; `guarded` returns NULL for it.
struct PyErrorSet {};

/// The module's PanicException type (a BaseException subclass), created once, never freed.
PyObject* panic_exception_type();

/// Sets a Python exception of `type` with `message` and throws PyErrorSet.
[[noreturn, gnu::cold]] void raise(PyObject* type, const char* message);
[[noreturn, gnu::cold]] void raise(PyObject* type, const std::string& message);
/// Throws PyErrorSet when the interpreter has an exception set (after a C API call).
inline void throw_if_error() {
    if (PyErr_Occurred()) throw PyErrorSet{};
}

[[gnu::cold]] void set_os_error(const IoError& e) noexcept;
[[gnu::cold]] void set_panic(const char* text) noexcept;

/// IoResult -> value, or OSError(text).
template <class T>
T unwrap(IoResult<T>&& r) {
    if (!r) throw std::move(r).error();
    if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

/// The one exception boundary of every entry point: runs `body` (which returns a Ref, or
/// an int for slots that return a status), translating C++ failures into Python
/// exceptions. A forced unwind (a thread stopped at interpreter exit) passes through,
/// which is why this frame is not noexcept.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return std::forward<F>(body)().release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const IoError& e) {
        set_os_error(e);
        return nullptr;
    } catch (const Panic& e) {
        set_panic(e.what());
        return nullptr;
    } catch (const rt::ForkedAfterStart& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        set_panic(e.what());
        return nullptr;
    } catch (...) {
        set_panic("unknown C++ exception");
        return nullptr;
    }
}

/// `guarded` for slots that return 0 / -1.
template <class F>
int guarded_status(F&& body) {
    PyObject* r = guarded([&] {
        std::forward<F>(body)();
        return Ref::borrow(Py_None);
    });
    if (!r) return -1;
    Ref::steal(r).reset();
    return 0;
}

/// "TypeName: str(exc)" for the exception currently set (which is cleared), or with
/// "<exception str() failed>" when str() itself raises, as UTF-8 that keeps every code
/// point of the text: NULs, and lone surrogates written as "surrogatepass" writes them.
/// raise_text turns it back into the very same str. Needs the interpreter lock; throws
/// std::bad_alloc (with no exception left set) when the text cannot be built.
std::string describe_current_exception();

/// The same description for a console line: UTF-8 with NULs kept and what UTF-8 cannot
/// encode escaped as "backslashreplace" does ("\udc80").
std::string describe_current_exception_for_console();

/// Sets a Python exception of `type` whose message is the str that `text` holds in the
/// encoding of describe_current_exception (any other bytes that are not UTF-8 are
/// escaped), and throws PyErrorSet.
[[noreturn, gnu::cold]] void raise_text(PyObject* type, std::string_view text);

}  // namespace quorix::py
