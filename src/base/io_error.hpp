#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quorix {

enum class IoErrorKind : std::uint8_t { Other, NotFound, PermissionDenied, InvalidInput, BrokenPipe };

/// An I/O failure: a kind and the text that reaches Python unchanged as OSError's message.
struct IoError {
    IoErrorKind kind = IoErrorKind::Other;
    std::string text;

    static IoError other(std::string t) { return {IoErrorKind::Other, std::move(t)}; }
    static IoError not_found(std::string t) { return {IoErrorKind::NotFound, std::move(t)}; }
    static IoError permission_denied(std::string t) { return {IoErrorKind::PermissionDenied, std::move(t)}; }
    static IoError invalid_input(std::string t) { return {IoErrorKind::InvalidInput, std::move(t)}; }
    static IoError broken_pipe(std::string t) { return {IoErrorKind::BrokenPipe, std::move(t)}; }

    /// "<description> (os error N)" with the kind mapped from the errno value.
    [[gnu::cold]] static IoError from_errno(int code);
    /// from_errno(errno), read at once.
    [[gnu::cold]] static IoError last_os_error() { return from_errno(errno); }
};

IoErrorKind kind_for_errno(int code) noexcept;

/// Value or IoError. The plain C++ layers return this; only the binding layer throws.
template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }
    const IoError& error() const& { return std::get<1>(v_); }
    IoError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, IoError> v_;
};

template <>
class [[nodiscard]] IoResult<void> {
public:
    IoResult() = default;
    IoResult(IoError error) : e_(std::move(error)) {}

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    void value() const {}
    const IoError& error() const& { return *e_; }
    IoError&& error() && { return std::move(*e_); }

private:
    std::optional<IoError> e_;
};

}  // namespace quorix
