#pragma once
// Which per-target variants of the byte-lane kernels (FAST-9, the 2x2 mean) this build has, and
// the intrinsic headers they need. The primitives themselves are in byte_lanes.inc, included
// once per target inside that target's namespace ahead of a kernel source.
//
//   GLENT_BYTE_LANES_X86   sse2 (baseline) and avx2 (run-time dispatch) variants
//   GLENT_BYTE_LANES_NEON  neon variant (every aarch64 processor has it)
//
// The portable variant (GNU vector extensions, no intrinsics) is built everywhere; with
// GLENT_SIMD_PORTABLE_ONLY it is the only one and no intrinsic header is included.

#if !defined(GLENT_SIMD_PORTABLE_ONLY) && defined(__x86_64__)
#define GLENT_BYTE_LANES_X86 1
#include <immintrin.h>
#elif !defined(GLENT_SIMD_PORTABLE_ONLY) && defined(__aarch64__)
#define GLENT_BYTE_LANES_NEON 1
#include <arm_neon.h>
#endif

// Values of GLENT_BYTE_LANES_TARGET, chosen by the file that includes byte_lanes.inc.
#define GLENT_BYTES_SSE2 1
#define GLENT_BYTES_AVX2 2
#define GLENT_BYTES_NEON 3
#define GLENT_BYTES_PORTABLE 4
