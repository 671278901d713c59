#!/usr/bin/env bash
# Runs the Python test suite against glent built with AddressSanitizer and
# UndefinedBehaviorSanitizer: the binding layer (reference counts, the NumPy C API, argument
# conversion) and the core as Python drives them. The interpreter itself is not instrumented, so
# it starts with the compiler's sanitizer runtimes preloaded; leak checking is on, with
# tests/python/lsan.supp for the allocations the interpreter and the test dependencies never
# free. Tests that measure the resident memory (meaningless under the sanitizer's allocator)
# are skipped (marker resident_memory). Run by scripts/run_tests.sh inside the project's virtual
# environment (for CMake and Ninja); the tests run with GLENT_TEST_PYTHON (default: python), an
# interpreter with the test requirements installed.
#
# To see a whole allocation stack in a leak report, rerun with ASAN_OPTIONS=malloc_context_size=30
# (and without the suppressions of the interpreter).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/python-sanitize
jobs=$(nproc 2>/dev/null || echo 2)
cxx=${CXX:-g++}
python=${GLENT_TEST_PYTHON:-python}

cmake -S "$root" -B "$build" -G Ninja -DGLENT_BUILD_PYTHON=ON -DGLENT_BUILD_TESTS=OFF \
  -DGLENT_WERROR="${GLENT_WERROR:-ON}" -DGLENT_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" -j"$jobs"
rm -rf "$build/site"
cmake --install "$build" --prefix "$build/site" >/dev/null

runtimes=""
for lib in libasan.so libubsan.so; do
  path=$("$cxx" -print-file-name="$lib")
  [ -e "$path" ] || { echo "the sanitizer runtime $lib of $cxx is missing"; exit 1; }
  runtimes="$runtimes${runtimes:+:}$(readlink -f "$path")"
done

cd "$(mktemp -d)"
# Child interpreters started by the tests inherit all of this, and are checked the same way.
# intercept_tls_get_addr=0: GCC 12's leak checker crashes ("Tracer caught signal 11") reading the
# dynamic thread-local storage of live threads under glibc 2.36, which the pool's workers have
# (thread_local variables of a dlopen-ed module); with it off those blocks are not scanned.
sanitized=(env PYTHONPATH="$build/site" GLENT_SANITIZED=1 LD_PRELOAD="$runtimes"
  ASAN_OPTIONS="detect_leaks=1:malloc_context_size=2:intercept_tls_get_addr=0"
  LSAN_OPTIONS="suppressions=$root/tests/python/lsan.supp:print_suppressions=0"
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" "$python")
# A glent installed in that environment must not stand in for the sanitized build.
"${sanitized[@]}" -c "import glent, sys; sys.exit(not glent.__file__.startswith('$build/site/'))" ||
  { echo "the sanitized build of glent is not the one imported"; exit 1; }
"${sanitized[@]}" -m pytest "$root/tests/python" -q -p no:cacheprovider "$@"
