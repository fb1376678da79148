#pragma once

#include "py/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "py/errors.hpp"

namespace quorix::py {

/// Conversions from Python objects. Each throws PyErrorSet with the exception set:
/// TypeError for the wrong kind of object, OverflowError for an integer out of range.
template <class T>
struct Converter;

template <>
struct Converter<std::uint64_t> {
    static std::uint64_t from(PyObject* obj);
};
template <>
struct Converter<std::uint32_t> {
    static std::uint32_t from(PyObject* obj);
};
template <>
struct Converter<std::uint16_t> {
    static std::uint16_t from(PyObject* obj);
};
template <>
struct Converter<std::uint8_t> {
    static std::uint8_t from(PyObject* obj);
};
template <>
struct Converter<double> {
    static double from(PyObject* obj);
};
template <>
struct Converter<float> {
    static float from(PyObject* obj);
};
/// Only `bool` itself.
template <>
struct Converter<bool> {
    static bool from(PyObject* obj);
};
/// Only `str`; UTF-8.
template <>
struct Converter<std::string> {
    static std::string from(PyObject* obj);
};

/// A payload given as bytes (borrowed, no copy), bytearray (copied) or a sequence of
/// integers 0..255 (copied item by item, growing as it goes). Up to 16 bytes live inline;
/// longer ones on the heap.
class ByteArg {
public:
    ByteArg() = default;
    ByteArg(ByteArg&&) noexcept = default;
    ByteArg& operator=(ByteArg&&) noexcept = default;

    const std::uint8_t* data() const {
        if (borrowed_) return borrowed_;
        return size_ <= small_.size() ? small_.data() : big_.data();
    }
    std::size_t size() const { return size_; }

private:
    friend struct Converter<ByteArg>;
    void assign(const std::uint8_t* p, std::size_t n);
    void push_back(std::uint8_t b);

    Ref owner_;                               // the bytes object we borrow from, if any
    const std::uint8_t* borrowed_ = nullptr;  // its buffer
    std::array<std::uint8_t, 16> small_{};
    std::vector<std::uint8_t> big_;
    std::size_t size_ = 0;
};
template <>
struct Converter<ByteArg> {
    static ByteArg from(PyObject* obj);
};

/// A Python callable or any object, kept as a reference.
template <>
struct Converter<Ref> {
    static Ref from(PyObject* obj) { return Ref::borrow(obj); }
};

/// "'{type}' object cannot be converted to '{target}'" as TypeError.
[[noreturn, gnu::cold]] void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace quorix::py
