#include "runtime/select.hpp"

#include <chrono>
#include <cstdint>

namespace quorix::rt::detail {

bool random_bit() noexcept {
    // xorshift64*, seeded per thread from the clock and the thread's own address.
    thread_local std::uint64_t state = [] {
        int local = 0;
        std::uint64_t s =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            reinterpret_cast<std::uintptr_t>(&local);
        return s ? s : 0x9E3779B97F4A7C15ULL;
    }();
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return ((state * 0x2545F4914F6CDD1DULL) >> 63) != 0;
}

}  // namespace quorix::rt::detail
