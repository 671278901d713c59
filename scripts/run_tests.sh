#!/usr/bin/env bash
# Runs every test of glent on a fresh Debian/Ubuntu machine: installs what is missing, builds and
# runs the C++ core tests, plain, with AddressSanitizer + UndefinedBehaviorSanitizer and built with
# Clang, builds the sdist and from it the wheel a user installs, and runs the Python tests against that wheel in a
# fresh environment without compilers, then once more against a sanitized build of the module.
# Compiler warnings are errors (GLENT_WERROR=OFF to relax).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup_env.sh

jobs=$(nproc 2>/dev/null || echo 2)
export GLENT_WERROR=${GLENT_WERROR:-ON}
python -m pip install -q cmake ninja

echo "== C++ core tests"
cmake -S . -B build/cpp-tests -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$GLENT_WERROR" >/dev/null
cmake --build build/cpp-tests -j"$jobs"
ctest --test-dir build/cpp-tests --output-on-failure -j"$jobs"

echo "== C++ core tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/cpp-sanitize -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$GLENT_WERROR" -DGLENT_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/cpp-sanitize --output-on-failure -j"$jobs"

# --- Clang: the C++ core tests built with Clang as well (GLENT_CLANG=ON, the default, installs
# clang when clang++ is missing; AUTO runs it only when clang++ is there; OFF skips it).
clang_mode=${GLENT_CLANG:-ON}
if [ "$clang_mode" = ON ] && ! command -v clang++ >/dev/null 2>&1; then
  echo "Installing system packages: clang"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
if [ "$clang_mode" != OFF ] && command -v clang++ >/dev/null 2>&1; then
  echo "== C++ core tests built with Clang"
  CXX=clang++ cmake -S . -B build/cpp-clang -G Ninja -DGLENT_BUILD_PYTHON=OFF \
    -DGLENT_BUILD_TESTS=ON -DGLENT_WERROR="$GLENT_WERROR" >/dev/null
  cmake --build build/cpp-clang -j"$jobs"
  ctest --test-dir build/cpp-clang --output-on-failure -j"$jobs"
fi
# --- end of the Clang block

echo "== Python: sdist, wheel built from it, repaired to manylinux, tested where nothing can build"
# The Python tests run here, once, against the installed wheel (see scripts/test_wheel.sh).
bash scripts/test_wheel.sh

echo "== Python tests with AddressSanitizer and UndefinedBehaviorSanitizer"
# In the wheel test's environment, which has every test requirement; the sanitized module
# built here comes first on the path.
GLENT_TEST_PYTHON="$root/build/release/venv/bin/python" bash scripts/test_python_sanitized.sh
