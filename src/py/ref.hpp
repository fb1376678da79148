#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorix::py {

/// An owning Python reference, move-only. Every construction says whether it steals a
/// new reference or borrows one (and takes its own). Requires the interpreter lock
/// wherever it changes a count.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Adopts a new reference (may be null: the caller checks for an exception).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a reference of our own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    [[nodiscard]] Ref clone() const noexcept { return borrow(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Hands ownership to the caller (typically CPython).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref old(std::move(*this)); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Steals a new reference and throws PyErrorSet when it is null (an exception is set).
Ref check(PyObject* p);

}  // namespace quorix::py
