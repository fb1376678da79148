#pragma once

#include <string_view>

namespace quorix {

/// Writes `text` straight to file descriptor 2 (not through Python's sys.stderr), retrying
/// short writes and interruptions; other errors drop the rest silently. Any thread, no lock.
void write_stderr(std::string_view text) noexcept;

}  // namespace quorix
