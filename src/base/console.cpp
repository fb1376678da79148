#include "base/console.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include "base/thread.hpp"

namespace quorix {

namespace {

// ---- one non-blocking attempt on fd 2 ---------------------------------------------------------
//
// fd 2 is the program's: setting O_NONBLOCK on it would change every other write to it (the
// file status flags belong to the open file description, shared by every copy of the fd).
// So each kind of file gets a non-blocking attempt of its own.

constexpr ssize_t WOULD_BLOCK = -1;  // nothing taken; try again once fd 2 is writable
constexpr ssize_t FAILED = -2;       // the line is lost (EPIPE, EBADF, ...), as a blocking write lost it

// Pieces a plain write() is given after poll() said POLLOUT. A pipe then has room for at least
// PIPE_BUF bytes; a terminal that can give no non-blocking descriptor gets small pieces.
constexpr std::size_t TTY_PIECE = 128;

// A write() of at most `piece` bytes once poll() reports room; WOULD_BLOCK otherwise.
ssize_t write_when_ready(std::string_view text, std::size_t piece) noexcept {
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0) return -1;  // errno from poll (EINTR: the caller retries)
    if (ready == 0) {
        errno = EAGAIN;
        return -1;
    }
    return ::write(STDERR_FILENO, text.data(), std::min(text.size(), piece));
}

// Pipes take RWF_NOWAIT for one write (kernels that do not answer EOPNOTSUPP, once).
std::atomic<bool> PIPE_NOWAIT{true};

ssize_t write_pipe(std::string_view text) noexcept {
    if (PIPE_NOWAIT.load(std::memory_order_relaxed)) {
        iovec iov{const_cast<char*>(text.data()), text.size()};
        const ssize_t n = ::pwritev2(STDERR_FILENO, &iov, 1, -1, RWF_NOWAIT);
        if (n >= 0 || (errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS)) return n;
        PIPE_NOWAIT.store(false, std::memory_order_relaxed);  // relaxed: only a shortcut
    }
    return write_when_ready(text, PIPE_BUF);
}

// A terminal: a second open file description of the same device, opened O_NONBLOCK, takes
// the writes. Kept while fd 2 stays on that device. Only one thread writes at a time (see
// Console::backlog), so it needs no lock of its own.
struct TtyWriter {
    dev_t device = 0;
    int fd = -1;         // -1: not opened yet, or the device cannot be reopened
    bool tried = false;  // for `device`
};
TtyWriter TTY;

ssize_t write_tty(const struct stat& st, std::string_view text) noexcept {
    if (!TTY.tried || TTY.device != st.st_rdev) {
        if (TTY.fd >= 0) ::close(TTY.fd);
        TTY = TtyWriter{st.st_rdev, -1, true};
        const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat again;
        if (fd >= 0 && ::fstat(fd, &again) == 0 && S_ISCHR(again.st_mode) && again.st_rdev == st.st_rdev) {
            TTY.fd = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    if (TTY.fd >= 0) return ::write(TTY.fd, text.data(), text.size());
    return write_when_ready(text, TTY_PIECE);
}

// Bytes of `text` taken by fd 2 without blocking (possibly 0 < n < size), WOULD_BLOCK or FAILED.
ssize_t attempt(std::string_view text) noexcept {
    struct stat st;
    if (::fstat(STDERR_FILENO, &st) < 0) return FAILED;
    for (;;) {
        ssize_t n;
        if (S_ISSOCK(st.st_mode)) {
            n = ::send(STDERR_FILENO, text.data(), text.size(), MSG_DONTWAIT);
        } else if (S_ISFIFO(st.st_mode)) {
            n = write_pipe(text);
        } else if (S_ISCHR(st.st_mode) && ::isatty(STDERR_FILENO)) {
            n = write_tty(st, text);
        } else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
            n = ::write(STDERR_FILENO, text.data(), text.size());  // readiness does not apply
        } else {
            n = write_when_ready(text, TTY_PIECE);
        }
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? WOULD_BLOCK : FAILED;
    }
}

// ---- the queue and its writer ---------------------------------------------------------------

struct Console {
    std::mutex mutex;
    std::condition_variable queued;   // the writer waits for lines
    std::condition_variable drained;  // flush_stderr waits for the backlog to end
    // Lines, or the unwritten rest of one, waiting for the writer; the front one is being
    // written while the writer does not hold the mutex (deque: push_back keeps it in place).
    std::deque<std::string> queue;
    std::size_t queued_bytes = 0;
    // True from the first queued line until the writer has emptied the queue. Callers write
    // directly only while it is false, and the writer writes only while it is true, so two
    // threads never write at once and no line overtakes a queued one.
    bool backlog = false;
    bool writer_started = false;
    std::uint64_t dropped = 0;  // lines refused since the queue last drained
};

Console& console() {
    static Console* const CONSOLE = [] {
        auto* c = new Console();  // leaked on purpose: the writer may outlive every destructor
        // A forked child has no writer; the queued lines are its parent's to write.
        ::pthread_atfork([] { console().mutex.lock(); }, [] { console().mutex.unlock(); },
                         [] {
                             Console& cc = console();
                             cc.queue.clear();
                             cc.queued_bytes = 0;
                             cc.backlog = false;
                             cc.writer_started = false;
                             cc.dropped = 0;
                             cc.mutex.unlock();
                         });
        return c;
    }();
    return *CONSOLE;
}

// Waits until fd 2 may take more, bounded so that a closed fd 2 cannot park the writer.
void wait_writable() noexcept {
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&p, 1, 100) == 1) {
        // A terminal can report room and still refuse the next character (an output newline
        // that needs two bytes): a short pause keeps the writer from spinning on that.
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

// Writes the whole of `text`, waiting as long as fd 2 is blocked. Writer thread only.
void write_waiting(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = attempt(text);
        if (n == FAILED) return;
        if (n == WOULD_BLOCK) {
            wait_writable();
            continue;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string dropped_warning(std::uint64_t n) {
    return "Warning: " + std::to_string(n) + " diagnostic lines were dropped while stderr was blocked\n";
}

void writer_main(void*) {
    Console& c = console();
    std::unique_lock lock(c.mutex);
    for (;;) {
        c.queued.wait(lock, [&] { return !c.queue.empty(); });
        const std::string& line = c.queue.front();
        lock.unlock();
        write_waiting(line);
        lock.lock();
        c.queued_bytes -= c.queue.front().size();
        c.queue.pop_front();
        if (!c.queue.empty()) continue;
        if (c.dropped > 0) {
            // Output flows again: say what was lost, after everything that was kept.
            try {
                c.queue.push_back(dropped_warning(c.dropped));
                c.queued_bytes += c.queue.back().size();
            } catch (...) {
            }
            c.dropped = 0;
            if (!c.queue.empty()) continue;
        }
        c.backlog = false;
        c.drained.notify_all();
    }
}

void flush_at_exit() { flush_stderr(STDERR_EXIT_FLUSH); }

// Starts the writer unless it runs; with the mutex held. A failed start leaves the lines
// queued; the next line tries again.
void ensure_writer(Console& c) noexcept {
    if (c.writer_started) return;
    if (rt::detail::start_thread("quorix-stderr", writer_main, nullptr) != 0) return;
    c.writer_started = true;
    static const bool registered = std::atexit(flush_at_exit) == 0;
    (void)registered;
}

}  // namespace

void write_stderr(std::string_view text) noexcept {
    if (text.empty()) return;
    Console& c = console();
    std::lock_guard lock(c.mutex);
    try {
        if (!c.backlog) {
            while (!text.empty()) {
                const ssize_t n = attempt(text);
                if (n == FAILED) return;
                if (n == WOULD_BLOCK) break;
                text.remove_prefix(static_cast<std::size_t>(n));
            }
            if (text.empty()) return;
            // fd 2 is blocked: the rest of this line (partly written or not) goes first in line.
            c.queue.emplace_back(text);
            c.queued_bytes += text.size();
            c.backlog = true;
        } else if (c.queue.size() >= STDERR_QUEUE_LINES ||
                   c.queued_bytes + text.size() > STDERR_QUEUE_BYTES) {
            ++c.dropped;
            return;
        } else {
            c.queue.emplace_back(text);
            c.queued_bytes += text.size();
        }
    } catch (...) {  // no memory for the copy: the line is lost like a refused one
        ++c.dropped;
        return;
    }
    ensure_writer(c);
    c.queued.notify_one();
}

bool flush_stderr(std::chrono::milliseconds timeout) noexcept {
    Console& c = console();
    std::unique_lock lock(c.mutex);
    return c.drained.wait_for(lock, timeout, [&] { return !c.backlog; });
}

bool stderr_writer_started() noexcept {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    return c.writer_started;
}

}  // namespace quorix
