#include "runtime/signal.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <string>

#include "base/fd.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace quorix::rt {

namespace detail {

/// One listener, linked into the process-wide list of its signal.
struct SignalSlot {
    int signo = 0;
    std::uint64_t seen = 0;  // owner only: deliveries accounted for
    Waker waker;             // guarded by the registry's mutex
    SignalSlot* prev = nullptr;
    SignalSlot* next = nullptr;
};

}  // namespace detail

namespace {

// Written by the handler (any thread, async-signal context): lock-free atomics only.
std::atomic<std::uint64_t> DELIVERIES[NSIG];
std::atomic<int> SIGNAL_WAKE_FD{-1};
// The thread that is calling the previous handler of a signal, or 0.
std::atomic<std::uintptr_t> CHAINING[NSIG];
// The disposition each handler replaced. Written before our handler is installed for that
// signal, read only by the handler afterwards; sigaction orders the two.
struct sigaction PREVIOUS[NSIG];

static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<std::uintptr_t>::is_always_lock_free);

struct Registry {
    std::mutex mu;  // guards the lists, the wakers, `dispatched`
    detail::SignalSlot* heads[NSIG] = {};
    std::uint64_t dispatched[NSIG] = {};  // deliveries already dispatched
    std::mutex install_mu;                // guards installing handlers and the eventfd set-up
};

Registry& registry() {
    static Registry* const REGISTRY = new Registry();  // leaked on purpose: the handlers outlive everything
    return *REGISTRY;
}

bool is_default_or_ignore(const struct sigaction& sa) noexcept {
    return !(sa.sa_flags & SA_SIGINFO) && (sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN);
}

void call_previous(int sig, siginfo_t* info, void* context) {
    const struct sigaction& prev = PREVIOUS[sig];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
    } else if (!is_default_or_ignore(prev)) {
        prev.sa_handler(sig);  // e.g. the Python interpreter's own SIGINT handler
    }
}

extern "C" void on_signal(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    // The handler we chain to may itself chain back to us (a library that took over from
    // us and then handed the signal on): the thread that is already chaining does not
    // chain again. pthread_self() only reads the thread pointer.
    const auto self = static_cast<std::uintptr_t>(::pthread_self());
    std::uintptr_t idle = 0;
    if (CHAINING[sig].compare_exchange_strong(idle, self, std::memory_order_acq_rel)) {
        call_previous(sig, info, context);
        CHAINING[sig].store(0, std::memory_order_release);
    } else if (idle != self) {
        call_previous(sig, info, context);  // another thread delivers at the same time
    }
    DELIVERIES[sig].fetch_add(1, std::memory_order_release);
    const int fd = SIGNAL_WAKE_FD.load(std::memory_order_acquire);
    if (fd >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);  // full eventfd counter: the reactor is awake anyway
    }
    errno = saved_errno;
}

bool can_listen(int signo) noexcept {
    if (signo <= 0 || signo >= NSIG) return false;
    switch (signo) {
        case SIGKILL:
        case SIGSTOP:
        case SIGSEGV:
        case SIGBUS:
        case SIGFPE:
        case SIGILL: return false;
        default: return true;
    }
}

bool is_ours(const struct sigaction& sa) noexcept {
    return (sa.sa_flags & SA_SIGINFO) && sa.sa_sigaction == &on_signal;
}

// Wakes the listeners of signals delivered since the last call; on the reactor thread,
// whenever the wake-up eventfd is readable.
void dispatch_deliveries() noexcept {
    const int fd = SIGNAL_WAKE_FD.load(std::memory_order_acquire);
    std::uint64_t count;
    while (fd >= 0 && ::read(fd, &count, sizeof count) > 0) {
    }
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (!reg.heads[sig]) continue;
        const std::uint64_t d = DELIVERIES[sig].load(std::memory_order_acquire);
        if (d == reg.dispatched[sig]) continue;
        reg.dispatched[sig] = d;
        for (detail::SignalSlot* s = reg.heads[sig]; s; s = s->next) s->waker.wake();
    }
}

IoResult<void> ensure_wake_fd() {
    if (SIGNAL_WAKE_FD.load(std::memory_order_relaxed) >= 0) return {};
    Fd fd{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    if (!fd) return IoError::last_os_error();
    if (auto watched = runtime().reactor().watch_readable(fd.get(), &dispatch_deliveries); !watched)
        return std::move(watched).error();
    SIGNAL_WAKE_FD.store(fd.release(), std::memory_order_release);  // leaked on purpose, like the handlers
    return {};
}

// Installs our handler for `signo` unless it is the one in place. Someone may have replaced
// it since we last installed it (Python's signal.signal(), which asyncio.run() calls on entry
// and again to restore on exit): the handler in place then becomes the one we chain to. The
// one we chain to is never our own, or a delivery would call itself without end.
IoResult<void> install(int signo) {
    Registry& reg = registry();
    std::lock_guard lock(reg.install_mu);
    if (auto fd = ensure_wake_fd(); !fd) return fd;
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) < 0) return IoError::last_os_error();
    if (is_ours(current)) return {};
    // Our handler is not in place, so a delivery reads PREVIOUS[signo] while it changes only
    // through a handler that hands signals on to ours, landing at this very moment.
    PREVIOUS[signo] = current;
    struct sigaction ours {};
    ours.sa_sigaction = &on_signal;
    ours.sa_mask = current.sa_mask;
    // Keep the restart behaviour the process had: Python installs its handlers without
    // SA_RESTART so that a signal interrupts its blocking calls, and that must stay so.
    const int restart = is_default_or_ignore(current) ? SA_RESTART : (current.sa_flags & SA_RESTART);
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | restart;
    if (::sigaction(signo, &ours, nullptr) < 0) return IoError::last_os_error();
    return {};
}

}  // namespace

IoResult<SignalListener> SignalListener::create(int signo) {
    if (!can_listen(signo)) {
        return IoError::invalid_input("Signal " + std::to_string(signo) + " cannot be listened for");
    }
    auto slot = std::make_unique<detail::SignalSlot>();
    slot->signo = signo;
    Registry& reg = registry();
    {
        std::lock_guard lock(reg.mu);
        // Deliveries counted before this point are not ours.
        slot->seen = DELIVERIES[signo].load(std::memory_order_acquire);
        slot->next = reg.heads[signo];
        if (slot->next) slot->next->prev = slot.get();
        reg.heads[signo] = slot.get();
    }
    // Linked before the handler goes in: once our handler is in place, it has a listener.
    SignalListener listener(std::move(slot));
    if (auto installed = install(signo); !installed) return std::move(installed).error();
    return listener;
}

SignalListener::SignalListener(std::unique_ptr<detail::SignalSlot> slot) noexcept : slot_(std::move(slot)) {}
SignalListener::SignalListener(SignalListener&&) noexcept = default;

SignalListener& SignalListener::operator=(SignalListener&& o) noexcept {
    if (this != &o) {
        SignalListener dropped(std::move(*this));
        slot_ = std::move(o.slot_);
    }
    return *this;
}

SignalListener::~SignalListener() {
    if (!slot_) return;
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    detail::SignalSlot* s = slot_.get();
    (s->prev ? s->prev->next : reg.heads[s->signo]) = s->next;
    if (s->next) s->next->prev = s->prev;
}

int SignalListener::signo() const noexcept { return slot_ ? slot_->signo : 0; }

SignalListener::RecvAwaiter::~RecvAwaiter() {
    if (!registered_) return;
    std::lock_guard lock(registry().mu);
    slot_->waker.reset();
}

bool SignalListener::RecvAwaiter::poll(detail::PollContext& cx) {
    std::uint64_t d = DELIVERIES[slot_->signo].load(std::memory_order_acquire);
    if (d == slot_->seen) {
        {
            std::lock_guard lock(registry().mu);
            if (!slot_->waker.wakes(cx.task)) slot_->waker = Waker(cx.task);
            registered_ = true;
        }
        // A delivery counted before we registered is seen here; a later one finds our waker.
        d = DELIVERIES[slot_->signo].load(std::memory_order_acquire);
        if (d == slot_->seen) return false;
    }
    slot_->seen = d;
    return true;
}

std::uint64_t signal_delivery_count(int signo) noexcept {
    if (signo <= 0 || signo >= NSIG) return 0;
    return DELIVERIES[signo].load(std::memory_order_acquire);
}

}  // namespace quorix::rt
