#!/usr/bin/env bash
# Runs the Python tests against an aarch64 build of the module, under qemu-user: an arm64 Debian
# root (debootstrap, first stage only: the packages are unpacked, nothing is configured) supplies
# the interpreter, NumPy, SciPy, scikit-image and pytest; the module is cross-compiled against
# its headers; qemu-aarch64 -L runs the root's python3 with the root as its library prefix, so
# no binfmt handler and no chroot are needed. The one test that forks a process which then
# starts threads is left to the native runs: that aborts inside qemu-user 7.2. The type-check
# test skips itself (no mypy in the root). Run after scripts/test_aarch64.sh, whose toolchain file
# it uses (GLENT_NO_APT=1 when debootstrap, the cross compiler and qemu-user are installed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
out=build/aarch64
sysroot="$root/$out/python-root"
if [ "${GLENT_NO_APT:-0}" != 1 ] && ! command -v debootstrap >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq debootstrap >/dev/null
fi

if [ ! -x "$sysroot/usr/bin/python3" ]; then
  echo "== arm64 Debian root with Python, NumPy, SciPy, scikit-image and pytest"
  rm -rf "$sysroot"
  debootstrap --arch=arm64 --foreign --variant=minbase \
    --include=python3,python3-numpy,python3-pytest,libpython3.11-dev,python3-scipy,python3-skimage \
    bookworm "$sysroot" http://deb.debian.org/debian >"$out/debootstrap.log" 2>&1 ||
    { tail -20 "$out/debootstrap.log" >&2; exit 1; }
  for deb in "$sysroot"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$sysroot"; done
  rm -f "$sysroot"/var/cache/apt/archives/*.deb
  # The links update-alternatives would make when the packages are configured.
  ln -sf blas/libblas.so.3 "$sysroot/usr/lib/aarch64-linux-gnu/libblas.so.3"
  ln -sf lapack/liblapack.so.3 "$sysroot/usr/lib/aarch64-linux-gnu/liblapack.so.3"
fi
# The interpreter behind a host script, which sys.executable then names too (qemu's -0 sets
# argv[0]), so tests that start another interpreter start it through qemu as well.
mkdir -p "$out/bin"
cat > "$out/bin/python3" <<WRAPPER
#!/bin/sh
PYTHONHOME="$sysroot/usr" exec qemu-aarch64 -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python3" "\$@"
WRAPPER
chmod +x "$out/bin/python3"
python=("$root/$out/bin/python3")
pyver=$("${python[@]}" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
soabi=$("${python[@]}" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
numpy_include=$("${python[@]}" -c 'import numpy; print(numpy.get_include())')

echo "== glent for aarch64 (Python $pyver, $soabi)"
cmake -S . -B "$out/core" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/$out/toolchain.cmake" \
  -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=OFF -DGLENT_WERROR="${GLENT_WERROR:-ON}" >/dev/null
cmake --build "$out/core" -j"$jobs" --target glent_core
site="$out/site"
rm -rf "$site" && mkdir -p "$site"
# The binding layer with the flags CMakeLists.txt gives it (warnings included), linked as the
# module a wheel would carry.
werror=()
[ "${GLENT_WERROR:-ON}" = ON ] && werror=(-Werror)
aarch64-linux-gnu-g++ -std=c++20 -O3 -DNDEBUG -fPIC -shared -fvisibility=hidden \
  -fvisibility-inlines-hidden -ffp-contract=off -fno-fast-math -fmacro-prefix-map="$root"/= \
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align \
  -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough "${werror[@]}" \
  -Isrc -isystem "$sysroot/usr/include/python$pyver" \
  -idirafter "$sysroot/usr/include" \
  -isystem "$sysroot$numpy_include" \
  src/python_bindings/*.cpp "$out/core/libglent_core.a" -pthread -Wl,--exclude-libs,ALL \
  -o "$site/glent.$soabi.so"
cp -r stubs/glent-stubs python/glent_sequences.py "$site/"

echo "== Python tests on aarch64 (qemu-aarch64)"
PYTHONPATH="$root/$site" "${python[@]}" -m pytest -q -p no:cacheprovider tests/python \
  --deselect tests/python/test_track_points.py::test_forked_child_gets_a_working_pool "$@"
