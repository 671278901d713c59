#include "common/isa.hpp"

#include <atomic>

#include "common/lanes.hpp"

namespace glent::simd {

namespace {

// Built into this binary: the per-target variants unless the build asked for the portable
// kernels alone.
constexpr bool built(Isa isa) {
#if defined(GLENT_LANES_X86)
  return isa == Isa::sse2 || isa == Isa::avx2 || isa == Isa::avx512 || isa == Isa::portable;
#elif defined(GLENT_LANES_NEON)
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

}  // namespace

#if defined(GLENT_LANES_X86)
namespace sse2 {
#include "common/lanes_entries.inc"
}  // namespace sse2
namespace avx2 {
#include "common/lanes_entries.inc"
}  // namespace avx2
namespace avx512 {
#include "common/lanes_entries.inc"
}  // namespace avx512
#elif defined(GLENT_LANES_NEON)
namespace neon {
#include "common/lanes_entries.inc"
}  // namespace neon
#endif
namespace portable {
#include "common/lanes_entries.inc"
}  // namespace portable

namespace {

#if defined(GLENT_LANES_X86)
constexpr Kernels SSE2{sse2::box_halve_row, sse2::fast9_detect, sse2::build_prepared, sse2::align_prepared,
                       sse2::align_prepared_pair};
constexpr Kernels AVX2{avx2::box_halve_row, avx2::fast9_detect, avx2::build_prepared, avx2::align_prepared,
                       avx2::align_prepared_pair};
constexpr Kernels AVX512{avx512::box_halve_row, avx512::fast9_detect, avx512::build_prepared,
                         avx512::align_prepared, avx512::align_prepared_pair};
#elif defined(GLENT_LANES_NEON)
constexpr Kernels NEON{neon::box_halve_row, neon::fast9_detect, neon::build_prepared, neon::align_prepared,
                       neon::align_prepared_pair};
#endif
constexpr Kernels PORTABLE{portable::box_halve_row, portable::fast9_detect, portable::build_prepared,
                           portable::align_prepared, portable::align_prepared_pair};

// use_isa admits only the variants this build holds, so every other value is portable.
const Kernels* table_of(Isa isa) {
#if defined(GLENT_LANES_X86)
  if (isa == Isa::avx512) return &AVX512;
  if (isa == Isa::avx2) return &AVX2;
  if (isa == Isa::sse2) return &SSE2;
#elif defined(GLENT_LANES_NEON)
  if (isa == Isa::neon) return &NEON;
#endif
  (void)isa;
  return &PORTABLE;
}

// The variant in use and its kernels, chosen on first use.
struct Active {
  std::atomic<Isa> isa;
  std::atomic<const Kernels*> table;
};
Active& active() {
  static Active a{default_isa(), table_of(default_isa())};
  return a;
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
  if (!isa_supported(isa)) return;
  active().isa.store(isa, std::memory_order_relaxed);
  active().table.store(table_of(isa), std::memory_order_relaxed);
}

Isa current_isa() { return active().isa.load(std::memory_order_relaxed); }

const Kernels& kernels() { return *active().table.load(std::memory_order_relaxed); }

}  // namespace glent::simd
