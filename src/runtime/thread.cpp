#include "runtime/thread.hpp"

#include <csignal>
#include <memory>

namespace quorix::rt::detail {

namespace {

struct Start {
    const char* name;
    void (*fn)(void*);
    void* arg;
};

// Not noexcept: a forced unwind (thread cancellation, an interpreter stopping the thread at
// exit) must pass through here to end the thread.
extern "C" void* thread_entry(void* p) {
    const Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    pthread_setname_np(pthread_self(), start.name);
    start.fn(start.arg);
    return nullptr;
}

sigset_t asynchronous_signals() noexcept {
    sigset_t set;
    sigfillset(&set);
    // Faults are delivered to the thread that caused them and cannot be deferred.
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&set, sig);
    return set;
}

}  // namespace

int start_thread(const char* name, void (*fn)(void*), void* arg, pthread_t* joinable) noexcept {
    auto* start = new (std::nothrow) Start{name, fn, arg};
    if (!start) return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (!joinable) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the mask in force while it is created.
    const sigset_t blocked = asynchronous_signals();
    sigset_t saved;
    pthread_sigmask(SIG_SETMASK, &blocked, &saved);
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

}  // namespace quorix::rt::detail
