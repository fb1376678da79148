#include "base/thread.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include "base/fd.hpp"

namespace quorix::rt {

namespace {

struct Start {
    const char* name;
    void (*fn)(void*);
    void* arg;
};

thread_local bool RUNTIME_THREAD = false;
// An ApplicationSignalMask of this thread is alive.
thread_local bool APPLICATION_MASK_ACTIVE = false;

const sigset_t& asynchronous_signals() noexcept {
    static const sigset_t SET = [] {
        sigset_t set;
        sigfillset(&set);
        // Faults are delivered to the thread that caused them and cannot be deferred.
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&set, sig);
        return set;
    }();
    return SET;
}

// Not noexcept: a forced unwind (thread cancellation, an interpreter stopping the thread at
// exit) must pass through here to end the thread.
extern "C" void* thread_entry(void* p) {
    const Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    RUNTIME_THREAD = true;
    pthread_setname_np(pthread_self(), start.name);
    start.fn(start.arg);
    return nullptr;
}

std::mutex RECORD_MU;
sigset_t APPLICATION_MASK;  // written once under RECORD_MU before RECORDED is set
std::atomic<bool> RECORDED{false};

// The main thread's mask, also when the caller is another thread: read from /proc.
std::optional<sigset_t> main_thread_mask() noexcept {
    const pid_t pid = ::getpid();
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == pid) {
        sigset_t mask;
        if (pthread_sigmask(SIG_SETMASK, nullptr, &mask) != 0) return std::nullopt;
        return mask;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(pid));
    const Fd fd{::open(path, O_RDONLY | O_CLOEXEC)};
    if (!fd) return std::nullopt;
    char text[4096];
    std::size_t len = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), text + len, sizeof text - len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        len += static_cast<std::size_t>(n);
        if (len == sizeof text) break;
    }
    return detail::parse_blocked_signals(std::string_view(text, len));
}

}  // namespace

sigset_t application_signal_mask() noexcept {
    if (RECORDED.load(std::memory_order_acquire)) return APPLICATION_MASK;
    sigset_t empty;
    sigemptyset(&empty);
    return empty;
}

bool on_runtime_thread() noexcept { return RUNTIME_THREAD; }

ApplicationSignalMask::ApplicationSignalMask() noexcept {
    if (!RUNTIME_THREAD || APPLICATION_MASK_ACTIVE) return;
    const sigset_t mask = application_signal_mask();
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    APPLICATION_MASK_ACTIVE = true;
    swapped_ = true;
}

ApplicationSignalMask::~ApplicationSignalMask() {
    if (!swapped_) return;
    pthread_sigmask(SIG_SETMASK, &asynchronous_signals(), nullptr);
    APPLICATION_MASK_ACTIVE = false;
}

namespace detail {

void record_application_signal_mask() noexcept {
    if (RECORDED.load(std::memory_order_acquire)) return;
    std::lock_guard lock(RECORD_MU);
    if (RECORDED.load(std::memory_order_relaxed)) return;
    if (auto mask = main_thread_mask()) {
        APPLICATION_MASK = *mask;
    } else {
        sigemptyset(&APPLICATION_MASK);  // no main thread to ask: nothing blocked
    }
    RECORDED.store(true, std::memory_order_release);
}

std::optional<sigset_t> parse_blocked_signals(std::string_view status) noexcept {
    constexpr std::string_view KEY = "SigBlk:";
    std::size_t at = 0;
    while (status.compare(at, KEY.size(), KEY) != 0) {
        at = status.find('\n', at);
        if (at == std::string_view::npos) return std::nullopt;
        ++at;
    }
    at += KEY.size();
    while (at < status.size() && (status[at] == ' ' || status[at] == '\t')) ++at;
    // Hexadecimal, most significant digit first; bit n stands for signal n + 1.
    std::size_t end = at;
    while (end < status.size() && status[end] != '\n') ++end;
    if (end == at) return std::nullopt;
    sigset_t set;
    sigemptyset(&set);
    int sig = 1;
    for (std::size_t i = end; i-- > at; sig += 4) {
        const char c = status[i];
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        for (int b = 0; b < 4; ++b)
            if (v & (1 << b)) sigaddset(&set, sig + b);  // refuses the C library's own signals
    }
    return set;
}

int start_thread(const char* name, void (*fn)(void*), void* arg, pthread_t* joinable) noexcept {
    auto* start = new (std::nothrow) Start{name, fn, arg};
    if (!start) return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (!joinable) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the mask in force while it is created.
    sigset_t saved;
    pthread_sigmask(SIG_SETMASK, &asynchronous_signals(), &saved);
    pthread_t thread;
    const int err = pthread_create(&thread, &attr, &thread_entry, start);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete start;
        return err;
    }
    if (joinable) *joinable = thread;
    return 0;
}

}  // namespace detail

}  // namespace quorix::rt
