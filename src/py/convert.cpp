#include "py/convert.hpp"

#include <cstring>
#include <limits>

namespace quorix::py {
namespace {

// Integer index of `obj` as a signed long long, or OverflowError in the wording of
// the narrow unsigned conversions.
template <class T>
T narrow_unsigned(PyObject* obj) {
    Ref index = check(PyNumber_Index(obj));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow != 0 || v < 0 || static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<T>(v);
}

}  // namespace

void raise_cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name, target);
    throw PyErrorSet{};
}

std::uint64_t Converter<std::uint64_t>::from(PyObject* obj) {
    Ref index = check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return v;
}

std::uint32_t Converter<std::uint32_t>::from(PyObject* obj) { return narrow_unsigned<std::uint32_t>(obj); }
std::uint16_t Converter<std::uint16_t>::from(PyObject* obj) { return narrow_unsigned<std::uint16_t>(obj); }
std::uint8_t Converter<std::uint8_t>::from(PyObject* obj) { return narrow_unsigned<std::uint8_t>(obj); }

double Converter<double>::from(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return v;
}

float Converter<float>::from(PyObject* obj) { return static_cast<float>(Converter<double>::from(obj)); }

bool Converter<bool>::from(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    raise_cannot_convert(obj, "PyBool");
}

std::string Converter<std::string>::from(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!utf8) throw PyErrorSet{};
    return std::string(utf8, static_cast<std::size_t>(len));
}

void ByteArg::push_back(std::uint8_t b) {
    if (size_ < small_.size()) {
        small_[size_++] = b;
        return;
    }
    if (size_ == small_.size()) big_.assign(small_.begin(), small_.end());
    big_.push_back(b);
    ++size_;
}

void ByteArg::assign(const std::uint8_t* p, std::size_t n) {
    size_ = n;
    if (n <= small_.size()) {
        if (n) std::memcpy(small_.data(), p, n);
        return;
    }
    big_.assign(p, p + n);
}

ByteArg Converter<ByteArg>::from(PyObject* obj) {
    ByteArg out;
    if (PyBytes_Check(obj)) {
        // Immutable: borrow the buffer for the duration of the call.
        out.owner_ = Ref::borrow(obj);
        out.borrowed_ = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        out.size_ = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
        return out;
    }
    if (PyByteArray_Check(obj)) {
        out.assign(reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj)),
                   static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
        return out;
    }
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw PyErrorSet{};
    // Item by item, kept as they come: the length is judged only after conversion (a bad
    // item is reported before a payload that is too long), so nothing is reserved for the
    // declared length. A huge sequence whose item 256 is out of range fails there, having
    // stored 256 bytes.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = check(PySequence_GetItem(obj, i));
        out.push_back(Converter<std::uint8_t>::from(item.get()));
    }
    return out;
}

}  // namespace quorix::py
