// Prints the tracking fingerprint (tests/cpp/fingerprint.hpp) once for every patch-kernel
// variant this build and processor offer, one line each: "fingerprint <prefix><variant> <hex>".
#include <cinttypes>
#include <cstdio>

#include "fingerprint.hpp"
#include "patch/patch_simd.hpp"

int main(int argc, char** argv) {
  using glent::simd::Isa;
  const char* prefix = argc > 1 ? argv[1] : "";
  for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512}) {
    if (!glent::simd::isa_supported(isa)) continue;
    glent::simd::use_isa(isa);
#if defined(__x86_64__)
    const char* name = isa == Isa::avx512 ? "avx512" : isa == Isa::avx2 ? "avx2" : "sse2";
#else
    const char* name = "plain";  // the only variant here: the plain kernels
#endif
    std::printf("fingerprint %s%s %016" PRIx64 "\n", prefix, name, glent::fingerprint::value());
  }
  return 0;
}
