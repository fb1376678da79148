#include "runtime/console.hpp"

#include <unistd.h>

#include <cerrno>

namespace quorix {

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace quorix
