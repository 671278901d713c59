#pragma once
// A hint for spin loops.

namespace glent {

// Tells the processor that this thread only polls, for one short wait of a spin loop (x86-64:
// pause; aarch64: yield; elsewhere nothing).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace glent
