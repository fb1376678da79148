#include "base/io_error.hpp"

#include <cstring>

namespace quorix {

IoErrorKind kind_for_errno(int code) noexcept {
    switch (code) {
        case ENOENT: return IoErrorKind::NotFound;
        case EACCES:
        case EPERM: return IoErrorKind::PermissionDenied;
        case EINVAL: return IoErrorKind::InvalidInput;
        case EPIPE: return IoErrorKind::BrokenPipe;
        default: return IoErrorKind::Other;
    }
}

IoError IoError::from_errno(int code) {
    // strerrordesc_np is thread-safe and not localised.
    const char* desc = ::strerrordesc_np(code);
    std::string text = desc ? desc : "Unknown error";
    text += " (os error " + std::to_string(code) + ")";
    return {kind_for_errno(code), std::move(text)};
}

}  // namespace quorix
