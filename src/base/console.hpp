#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace quorix {

/// Writes `text` (one or more whole lines) to file descriptor 2, not through Python's
/// sys.stderr. Any thread, never blocks: the text is written at once when fd 2 can take it
/// (a non-blocking attempt; fd 2's own flags are left alone, the program shares it), and
/// otherwise queued for one writer thread, started on first need. Once text waits in the
/// queue, later lines queue behind it, so lines keep their order. When the bounded queue is
/// full the line is dropped and counted; after the queue has drained the writer prints
/// "Warning: {} diagnostic lines were dropped while stderr was blocked". Write errors other
/// than "would block" (a closed fd 2, no reader) lose the line silently.
/// At process exit, queued lines get up to STDERR_EXIT_FLUSH to be written.
void write_stderr(std::string_view text) noexcept;

/// Most lines, and bytes, the queue holds while fd 2 is blocked.
inline constexpr std::size_t STDERR_QUEUE_LINES = 1024;
inline constexpr std::size_t STDERR_QUEUE_BYTES = 256 * 1024;
inline constexpr std::chrono::milliseconds STDERR_EXIT_FLUSH{1000};

/// Waits up to `timeout` until nothing written by write_stderr waits in the queue; true if
/// it drained. Any thread except the writer; runs at exit with STDERR_EXIT_FLUSH.
bool flush_stderr(std::chrono::milliseconds timeout) noexcept;

/// Whether the writer thread has been started in this process (tests: a flowing fd 2 never
/// needs it).
bool stderr_writer_started() noexcept;

}  // namespace quorix
