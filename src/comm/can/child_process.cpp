#include "comm/can/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

extern char** environ;

namespace quorix {

namespace {

class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read_end, write_end;
};

IoResult<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return IoError::last_os_error();
    return Pipe{Fd{fds[0]}, Fd{fds[1]}};
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() {
        ::posix_spawnattr_init(&attr);
        // The caller's thread may block signals or ignore SIGPIPE (Python does); the child
        // starts the way a shell would start it.
        sigset_t none, pipe;
        sigemptyset(&none);
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        ::posix_spawnattr_setsigmask(&attr, &none);
        ::posix_spawnattr_setsigdefault(&attr, &pipe);
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttr() { ::posix_spawnattr_destroy(&attr); }
};

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { ::posix_spawn_file_actions_init(&actions); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
};

// NUL-terminated copies of the arguments; an argument with an embedded NUL byte cannot be
// passed to a program at all.
IoResult<std::vector<std::string>> copy_args(std::span<const std::string_view> argv) {
    std::vector<std::string> args;
    args.reserve(argv.size());
    for (std::string_view a : argv) {
        if (a.find('\0') != std::string_view::npos)
            return IoError::invalid_input("argument contains a NUL byte");
        args.emplace_back(a);
    }
    return args;
}

IoResult<pid_t> spawn(std::span<const std::string_view> argv, const FileActions* fa) {
    if (argv.empty()) return IoError::invalid_input("no program to run");
    auto args = copy_args(argv);
    if (!args) return std::move(args).error();
    std::vector<char*> ptrs;
    ptrs.reserve(args->size() + 1);
    for (std::string& a : *args) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    SpawnAttr attr;
    pid_t pid = -1;
    // glibc reports a failed exec (ENOENT, EACCES, ...) as the return value.
    const int rc =
        ::posix_spawnp(&pid, ptrs[0], fa ? &fa->actions : nullptr, &attr.attr, ptrs.data(), environ);
    if (rc != 0) return IoError::from_errno(rc);
    return pid;
}

IoResult<ExitStatus> wait_child(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return IoError::last_os_error();
    }
    return ExitStatus{status};
}

// Drains both pipes together, so a child that fills one while we read the other cannot stall.
IoResult<void> drain(Fd& out_fd, Fd& err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return IoError::last_os_error();
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return IoError::last_os_error();
            if (n == 0) {
                fds[i].fd = -1;  // poll ignores negative descriptors
                --open_count;
                continue;
            }
            sinks[i]->append(buf, static_cast<std::size_t>(n));
        }
    }
    return {};
}

}  // namespace

bool ExitStatus::success() const noexcept { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0; }

IoResult<CapturedOutput> run_captured(std::span<const std::string_view> argv) {
    auto out_pipe = make_pipe();
    if (!out_pipe) return std::move(out_pipe).error();
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::move(err_pipe).error();
    FileActions fa;
    ::posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&fa.actions, out_pipe->write_end.get(), 1);
    ::posix_spawn_file_actions_adddup2(&fa.actions, err_pipe->write_end.get(), 2);
    auto pid = spawn(argv, &fa);
    // Our copies of the write ends must go, or the reads below never see end-of-file.
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!pid) return std::move(pid).error();
    CapturedOutput result;
    auto drained = drain(out_pipe->read_end, err_pipe->read_end, result.out, result.err);
    // Closed before the wait: after a failed read the child must get EPIPE rather than block
    // on a full pipe. It is reaped in every case, so no zombie is left behind.
    out_pipe->read_end.reset();
    err_pipe->read_end.reset();
    auto status = wait_child(*pid);
    if (!drained) return std::move(drained).error();
    if (!status) return std::move(status).error();
    result.status = *status;
    return result;
}

IoResult<ExitStatus> run_inherited(std::span<const std::string_view> argv) {
    auto pid = spawn(argv, nullptr);
    if (!pid) return std::move(pid).error();
    return wait_child(*pid);
}

}  // namespace quorix
