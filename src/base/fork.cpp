#include "base/fork.hpp"

#include <pthread.h>

#include <atomic>

namespace quorix::rt {
namespace {

std::atomic<bool> STARTED{false};
std::atomic<bool> FORKED{false};

// Runs in the child, where only the forking thread exists: an atomic store, nothing else.
extern "C" void mark_forked_child() { FORKED.store(true, std::memory_order_relaxed); }

}  // namespace

void note_runtime_start() noexcept {
    if (STARTED.load(std::memory_order_acquire)) return;
    // Registered once (a function-local static is initialised once, whatever the race).
    // pthread_atfork fails only without memory; the child then goes unmarked, as before.
    [[maybe_unused]] static const int REGISTERED = ::pthread_atfork(nullptr, nullptr, &mark_forked_child);
    STARTED.store(true, std::memory_order_release);
}

bool forked_after_runtime_start() noexcept { return FORKED.load(std::memory_order_relaxed); }

}  // namespace quorix::rt
