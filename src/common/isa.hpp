#pragma once
// The instruction-set variants of the vector kernels, and the one switch that selects the
// variant every kernel family (patch kernels, FAST-9, the 2x2 mean) uses. Every variant gives
// the same bits as the plain reference code; tests hold each of them to it.

#include <array>

namespace glent::simd {

// sse2 / avx2 / avx512 on x86-64 (avx512 needs the F, BW, DQ and VL subsets), neon on aarch64,
// portable everywhere: GNU vector extensions without intrinsics, the fallback of any other
// target and the only variant of a build configured with GLENT_SIMD=portable.
enum class Isa { sse2, avx2, avx512, neon, portable };

inline constexpr std::array<Isa, 5> ALL_ISAS{Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon,
                                             Isa::portable};

// Lower-case name: "sse2", "avx2", "avx512", "neon", "portable".
const char* isa_name(Isa isa);

// Whether this build has the variant and this processor runs it.
bool isa_supported(Isa isa);

// The variant chosen on first use: the fastest one the processor runs (AVX-512 before AVX2:
// the same eight-lane patch kernels, with twice the vector registers).
Isa default_isa();

// Selects the variant of every kernel family; an unsupported one is ignored. Meant for tests
// and benchmarks: switch while no tracking call runs.
void use_isa(Isa isa);
Isa current_isa();

}  // namespace glent::simd
