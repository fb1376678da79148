#pragma once

namespace quorix {

/// The processor's spin-wait hint: `pause` on x86-64, `isb` on AArch64, nothing elsewhere.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("isb" ::: "memory");
#endif
}

}  // namespace quorix
