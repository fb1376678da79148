#include "runtime/park_hook.hpp"

#include <atomic>

namespace quorix::rt {

namespace {

std::atomic<ParkHook> PARK_HOOK{nullptr};

}  // namespace

void set_park_hook(ParkHook hook) noexcept { PARK_HOOK.store(hook, std::memory_order_release); }
ParkHook park_hook() noexcept { return PARK_HOOK.load(std::memory_order_acquire); }

}  // namespace quorix::rt
