#include "comm/can/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "base/fd.hpp"

extern char** environ;

namespace quorix {

namespace {

// The child's standard streams are set with dup2 onto 0, 1 and 2; a source that is itself one
// of those numbers (the parent's own stdin or stdout was closed) would be overwritten by an
// earlier dup2, so every source is moved above them first.
IoResult<Fd> above_stdio(Fd fd) {
    if (fd.get() > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return IoError::last_os_error();
    return Fd{moved};
}

struct Pipe {
    Fd read_end, write_end;
};

IoResult<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return IoError::last_os_error();
    Pipe p{Fd{fds[0]}, Fd{fds[1]}};
    auto write_end = above_stdio(std::move(p.write_end));
    if (!write_end) return std::move(write_end).error();
    p.write_end = std::move(*write_end);
    return p;
}

// What the helper and the program's process need, all prepared before they start (see spawn).
struct ChildPlan {
    std::vector<std::string> paths;  // where to look for the program, in execvp's order
    std::vector<char*> argv;         // NUL-terminated, ends with nullptr
    int stdio[3] = {-1, -1, -1};     // descriptors to install as 0, 1, 2; -1 keeps the caller's
    int report_fd = -1;              // the helper's report goes here
    void* program_stack = nullptr;   // top of the stack the program's process starts on
    int exec_error = 0;              // set by the program's process when no exec succeeded
};

// The helper's answer, written once to ChildPlan::report_fd.
struct Report {
    int start_error = 0;  // errno: the program could not be started or waited for
    int wait_status = 0;  // waitpid's status of the program
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

// execvp's search: a name with a slash is used as it is; otherwise each element of PATH (the
// system's default path when PATH is unset; an empty element is the current directory).
std::vector<std::string> search_paths(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/bin:/usr/bin";
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find(':', start);
        const std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        out.push_back(dir.empty() ? program : dir + "/" + program);
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// Runs in the program's process, on its own stack, in the helper's memory, with every signal
// blocked: only system-call wrappers from here to exec.
__attribute__((no_sanitize_address, no_sanitize_thread, no_sanitize_undefined)) int program_main(void* arg) {
    auto* plan = static_cast<ChildPlan*>(arg);
    // Inherited handlers would run this process's code in the child if a signal arrived
    // before exec; ignored SIGPIPE and SIGCHLD (Python ignores the first, programs the second)
    // would outlive exec. The child starts the way a shell would start it.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) < 0) continue;  // SIGKILL, SIGSTOP, reserved ones
        const bool caught =
            (old.sa_flags & SA_SIGINFO) || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN);
        if (!caught && sig != SIGPIPE && sig != SIGCHLD) continue;
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(sig, &dfl, nullptr);
    }
    for (int target = 0; target < 3; ++target) {
        const int source = plan->stdio[target];
        if (source >= 0 && ::dup2(source, target) < 0) {
            plan->exec_error = errno;
            ::_exit(127);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // execvp's rules: a candidate that is missing or not searchable passes the turn to the
    // next; any other failure (found but cannot run) is the answer. Having met EACCES on the
    // way, a search that finds nothing reports that.
    bool got_eacces = false;
    for (std::string& path : plan->paths) {
        ::execve(path.c_str(), plan->argv.data(), environ);
        const int error = errno;
        if (error == EACCES) {
            got_eacces = true;
            continue;
        }
        if (error == ENOENT || error == ESTALE || error == ENOTDIR || error == ENODEV || error == ETIMEDOUT)
            continue;
        plan->exec_error = error;
        ::_exit(127);
    }
    plan->exec_error = got_eacces ? EACCES : ENOENT;
    ::_exit(127);
}

// Blocks every signal on the calling thread for the lifetime of the object.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

// A mapped stack for the child, released on every path.
class ChildStack {
public:
    static constexpr std::size_t SIZE = 64 * 1024;
    ChildStack() noexcept
        : base_(::mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1,
                       0)) {}
    ~ChildStack() {
        if (base_ != MAP_FAILED) ::munmap(base_, SIZE);
    }
    bool ok() const noexcept { return base_ != MAP_FAILED; }
    void* top() const noexcept { return static_cast<char*>(base_) + SIZE; }  // stacks grow down

private:
    void* base_;
};

// Runs in the helper: a copy of this process (not sharing its memory) that starts the program,
// waits for it and reports how it ended. Every signal stays blocked here.
__attribute__((no_sanitize_address, no_sanitize_thread, no_sanitize_undefined)) int helper_main(void* arg) {
    auto* plan = static_cast<ChildPlan*>(arg);
    // The helper's own SIGCHLD disposition decides whether its child leaves a status behind.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &dfl, nullptr);
    Report report;
    // CLONE_VFORK: the helper resumes once the program has exec'd or given up.
    const pid_t pid = ::clone(program_main, plan->program_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, plan);
    if (pid < 0) report.start_error = errno;
    if (pid > 0) {
        // Copies of this process's descriptors (pipes among them) must not live as long as
        // the program runs (an interactive sudo can take minutes).
        if (::close_range(STDERR_FILENO + 1, plan->report_fd - 1, 0) < 0 ||
            ::close_range(plan->report_fd + 1, ~0U, 0) < 0) {
            for (int fd : plan->stdio)
                if (fd > STDERR_FILENO) ::close(fd);
        }
        while (::waitpid(pid, &report.wait_status, 0) < 0) {
            if (errno == EINTR) continue;
            report.start_error = errno;
            break;
        }
        if (plan->exec_error != 0) report.start_error = plan->exec_error;
    }
    (void)::write(plan->report_fd, &report, sizeof report);
    ::_exit(0);
}

// The helper process that runs one program, and the pipe of its report.
struct Helper {
    pid_t pid;
    Fd report;
};

// Starts the program through a helper. A program's process that has exec'd always reports its
// end with SIGCHLD (exec resets the exit signal), so with SIGCHLD set to SIG_IGN by the
// program (or SA_NOCLDWAIT) the kernel would reap it at once and its exit status would be
// lost. The helper never execs and has no exit signal: it is never reaped by the kernel, sends
// the program no SIGCHLD, and waiting for any child (waitpid(-1)) elsewhere does not take it.
// It waits for the program with a default SIGCHLD of its own and reports the wait status.
IoResult<Helper> spawn(std::span<const std::string_view> argv, const int (&stdio)[3]) {
    if (argv.empty()) return IoError::invalid_input("no program to run");
    auto args = copy_args(argv);
    if (!args) return std::move(args).error();
    auto report = make_pipe();
    if (!report) return std::move(report).error();
    ChildPlan plan;
    plan.paths = search_paths((*args)[0]);
    for (std::string& a : *args) plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);
    std::copy(std::begin(stdio), std::end(stdio), plan.stdio);
    plan.report_fd = report->write_end.get();
    ChildStack helper_stack, program_stack;
    if (!helper_stack.ok() || !program_stack.ok()) return IoError::last_os_error();
    plan.program_stack = program_stack.top();  // mapped here, so present in the helper's copy
    pid_t pid;
    {
        AllSignalsBlocked blocked;  // no handler of this process may run in the copies
        pid = ::clone(helper_main, helper_stack.top(), 0, &plan);  // no exit signal
    }
    if (pid < 0) return IoError::last_os_error();
    return Helper{pid, std::move(report->read_end)};
}

// Reads the helper's report and reaps the helper.
IoResult<ExitStatus> wait_child(Helper& helper) {
    Report report;
    ssize_t n;
    while ((n = ::read(helper.report.get(), &report, sizeof report)) < 0 && errno == EINTR) {
    }
    int status = 0;
    // __WALL: the helper has no exit signal, which plain waitpid skips.
    while (::waitpid(helper.pid, &status, __WALL) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof report)) return IoError::from_errno(ECHILD);  // the helper died
    if (report.start_error != 0) return IoError::from_errno(report.start_error);
    return ExitStatus{report.wait_status};
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
    Fd opened{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    if (opened.get() < 0) return IoError::last_os_error();
    auto dev_null = above_stdio(std::move(opened));
    if (!dev_null) return std::move(dev_null).error();
    const int stdio[3] = {dev_null->get(), out_pipe->write_end.get(), err_pipe->write_end.get()};
    auto helper = spawn(argv, stdio);
    dev_null->reset();
    // Our copies of the write ends must go, or the reads below never see end-of-file.
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!helper) return std::move(helper).error();
    CapturedOutput result;
    auto drained = drain(out_pipe->read_end, err_pipe->read_end, result.out, result.err);
    // Closed before the wait: after a failed read the child must get EPIPE rather than block
    // on a full pipe. The helper is reaped in every case, so no zombie is left behind. A
    // program that could not be started is reported by the wait.
    out_pipe->read_end.reset();
    err_pipe->read_end.reset();
    auto status = wait_child(*helper);
    if (!drained) return std::move(drained).error();
    if (!status) return std::move(status).error();
    result.status = *status;
    return result;
}

IoResult<ExitStatus> run_inherited(std::span<const std::string_view> argv) {
    const int stdio[3] = {-1, -1, -1};
    auto helper = spawn(argv, stdio);
    if (!helper) return std::move(helper).error();
    return wait_child(*helper);
}

}  // namespace quorix
