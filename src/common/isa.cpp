#include "common/isa.hpp"

#include <atomic>

namespace glent::simd {

namespace {

// Built into this binary: the per-target variants unless the build asked for the portable
// kernels alone.
constexpr bool built(Isa isa) {
#if defined(GLENT_SIMD_PORTABLE_ONLY)
  return isa == Isa::portable;
#elif defined(__x86_64__)
  return isa == Isa::sse2 || isa == Isa::avx2 || isa == Isa::avx512 || isa == Isa::portable;
#elif defined(__aarch64__)
  return isa == Isa::neon || isa == Isa::portable;
#else
  return isa == Isa::portable;
#endif
}

bool processor_runs(Isa isa) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (isa) {
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    case Isa::avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::sse2:
    case Isa::portable:
      return true;
    case Isa::neon:
      return false;
  }
  return false;
#else
  // NEON (Advanced SIMD) is part of every aarch64 processor.
  (void)isa;
  return true;
#endif
}

std::atomic<Isa>& active() {
  static std::atomic<Isa> isa{default_isa()};
  return isa;
}

}  // namespace

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::sse2:
      return "sse2";
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
    case Isa::neon:
      return "neon";
    case Isa::portable:
      return "portable";
  }
  return "unknown";
}

bool isa_supported(Isa isa) { return built(isa) && processor_runs(isa); }

Isa default_isa() {
  for (Isa isa : {Isa::avx512, Isa::avx2, Isa::sse2, Isa::neon}) {
    if (isa_supported(isa)) return isa;
  }
  return Isa::portable;
}

void use_isa(Isa isa) {
  if (isa_supported(isa)) active().store(isa, std::memory_order_relaxed);
}

Isa current_isa() { return active().load(std::memory_order_relaxed); }

}  // namespace glent::simd
