#!/usr/bin/env bash
# Cross-compiles the C++ tests for aarch64, runs them under qemu-user, and prints the tracking
# fingerprint of every variant beside those of a native x86-64 build and of a native build with
# the portable kernels alone; fails if any two differ.
# On a fresh Debian/Ubuntu x86-64 machine it installs the cross compiler, qemu-user and the
# GoogleTest sources first (as root, or with GLENT_NO_APT=1 when they are already there).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
werror=${GLENT_WERROR:-ON}

if [ "${GLENT_NO_APT:-0}" != 1 ] &&
   ! { command -v aarch64-linux-gnu-g++ && command -v qemu-aarch64 && [ -d /usr/src/googletest ]; } >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq g++-aarch64-linux-gnu qemu-user libgtest-dev cmake ninja-build >/dev/null
fi

out=build/aarch64
mkdir -p "$out"
cat > "$out/toolchain.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static executables run under qemu-aarch64 without an aarch64 root file system.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
TOOLCHAIN

# GoogleTest for the target, from the sources libgtest-dev ships.
gtest="$root/$out/gtest"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== GoogleTest for aarch64"
  cmake -S /usr/src/googletest -B "$out/gtest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/$out/toolchain.cmake" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$gtest" -Wno-dev >/dev/null 2>&1
  cmake --build "$out/gtest-build" -j"$jobs" >/dev/null
  cmake --install "$out/gtest-build" >/dev/null
fi

# cmake --build, showing the compilers' and the linker's messages but not ninja's progress lines.
# The test binaries are linked statically (qemu-aarch64 runs them without an arm64 C library),
# and the linker then warns that GoogleTest's result streaming, a socket feature these tests
# never use, calls getaddrinfo: that warning and the line naming its function are left out too.
build() {
  local dir=$1 status=0
  shift
  cmake --build "$dir" -j"$jobs" "$@" >"$dir/build.log" 2>&1 || status=$?
  grep -Ev '^\[[0-9]+/[0-9]+\] |^ninja: no work to do|StreamingListener::SocketWriter::MakeConnection|warning: Using .getaddrinfo. in statically linked' \
    "$dir/build.log" || true
  return "$status"
}

echo "== C++ tests for aarch64 (cross-compiled, run under qemu-aarch64)"
cmake -S . -B "$out/tests" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$out/toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$gtest" -DCMAKE_FIND_ROOT_PATH="$gtest" -DGLENT_BUILD_PYTHON=OFF \
  -DGLENT_BUILD_TESTS=ON -DGLENT_WERROR="$werror" >/dev/null
build "$out/tests" --target glent_cpp_tests glent_fingerprint
# qemu-user (7.2, Debian 12) aborts with an internal assertion (cpu_exec: cpu == current_cpu)
# when a child forked from a multi-threaded process starts threads of its own, so the tests
# that fork a child which then uses a fresh pool are left to the native runs.
qemu_skips=ProcessPool.ForkedChildGetsAWorkingPool
qemu_skips+=:ProcessPool.ForkWhileAnotherThreadRunsALoopLeavesTheChildUsable
qemu_skips+=:Fingerprint.OneValueForEveryKernelVariantAndThreadCount
qemu_skips+=:TrackerDeterminism.SameTracksForEveryThreadCount
qemu_skips+=:Values/PoolSizeFromEnvironment.IsReadWhenTheChildCreatesItsPool/*
qemu_skips+=:ProcessPool.DefaultSizeFollowsTheAffinityMask
# Bounded in time, so that a hang fails the run instead of holding it up (it takes minutes).
timeout 1800 qemu-aarch64 "$out/tests/glent_cpp_tests" --gtest_brief=1 \
  --gtest_filter="-$qemu_skips"

echo "== native x86-64 build"
cmake -S . -B build/fingerprint-native -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$werror" >/dev/null
build build/fingerprint-native --target glent_fingerprint

echo "== native x86-64 build with the portable kernels alone (GLENT_SIMD=portable)"
cmake -S . -B build/fingerprint-portable -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$werror" -DGLENT_SIMD=portable >/dev/null
build build/fingerprint-portable --target glent_fingerprint

echo "== fingerprints"
lines=$( { qemu-aarch64 "$out/tests/glent_fingerprint" aarch64-
           build/fingerprint-native/glent_fingerprint x86_64-
           build/fingerprint-portable/glent_fingerprint x86_64-portable-only-; } )
echo "$lines"
distinct=$(echo "$lines" | awk '{print $3}' | sort -u | wc -l)
if [ "$distinct" -ne 1 ]; then
  echo "FAIL: the fingerprints differ" >&2
  exit 1
fi
echo "all fingerprints agree"
