// Prints the tracking fingerprint (tests/cpp/fingerprint.hpp) once for every kernel
// variant this build and processor offer, one line each: "fingerprint <prefix><variant> <hex>".
#include <cinttypes>
#include <cstdio>

#include "fingerprint.hpp"
#include "common/isa.hpp"

int main(int argc, char** argv) {
  using glent::simd::Isa;
  const char* prefix = argc > 1 ? argv[1] : "";
  for (Isa isa : glent::simd::ALL_ISAS) {
    if (!glent::simd::isa_supported(isa)) continue;
    glent::simd::use_isa(isa);
    const char* name = glent::simd::isa_name(isa);
    std::printf("fingerprint %s%s %016" PRIx64 "\n", prefix, name, glent::fingerprint::value());
  }
  return 0;
}
