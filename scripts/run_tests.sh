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
logs=$root/build/logs
mkdir -p "$logs"

# --- Output: what the compilers and the tests say, without the progress lines of a build or
# the line of every passing C++ test; then one summary line per stage (also when a stage fails)
# and where the wheel is.
summary=()
stage=""
begin() { stage=$1; stage_start=$SECONDS; echo; echo "== $1"; }
# finish FIGURES STATUS: the stage's summary line; a failed stage stays named for the report.
finish() {
  local took=$((SECONDS - stage_start))
  summary+=("$(printf '%-36s %s (%d min %02d s)' "$stage:" "$1" $((took / 60)) $((took % 60)))")
  if [ "$2" -eq 0 ]; then stage=""; fi
}
report() {
  local status=$?
  echo
  echo "== Summary"
  local line
  for line in "${summary[@]}"; do echo "$line"; done
  if [ -n "$stage" ]; then echo "FAILED: $stage (exit status $status; its output is above)"; fi
  local wheel
  wheel=$(ls "$root"/build/release/wheelhouse/glent-*.whl 2>/dev/null || true)
  if [ "$status" -eq 0 ] && [ -n "$wheel" ]; then
    echo "The wheel: ${wheel#"$root"/} (pip install it; the sdist is in build/release/dist/)"
  fi
  exit "$status"
}
trap report EXIT

# cmake --build, showing the compiler's messages but not ninja's progress lines.
build() {
  local status=0
  cmake --build "$1" -j"$jobs" >"$1/build.log" 2>&1 || status=$?
  grep -Ev '^\[[0-9]+/[0-9]+\] |^ninja: no work to do' "$1/build.log" || true
  return "$status"
}

# ctest, showing failures, skipped tests and its closing lines; the full output stays in
# DIR/ctest.log. Extra arguments are environment assignments for the tests.
run_ctest() {
  local dir=$1 status=0
  shift
  env "$@" ctest --test-dir "$dir" --output-on-failure -j"$jobs" >"$dir/ctest.log" 2>&1 ||
    status=$?
  grep -Ev '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' \
    "$dir/ctest.log" || true
  # Why each skipped test skipped: the message GoogleTest printed after "Skipped".
  local reasons
  reasons=$(awk '/: Skipped$/ { getline why; next }
                 /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print "  skipped " $4 ": " why }' \
            "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true)
  [ -n "$reasons" ] && echo "$reasons"
  local total failed skipped
  total=$(grep -Eo 'out of [0-9]+' "$dir/ctest.log" | grep -Eo '[0-9]+' | tail -1 || true)
  failed=$(grep -Eo '[0-9]+ tests failed' "$dir/ctest.log" | grep -Eo '[0-9]+' | tail -1 || true)
  skipped=$(grep -c '(Skipped)$' "$dir/ctest.log" || true)
  total=${total:-0} failed=${failed:-0}
  finish "$((total - failed - skipped)) passed, $failed failed, $skipped skipped of $total" \
    "$status"
  return "$status"
}

# A stage that ends with pytest: its output as it comes, without build progress lines (all of it
# kept in LOG); the summary takes pytest's closing line ("120 passed, 3 skipped in 95.1s").
run_pytest_stage() {
  local log=$1 status=0
  shift
  "$@" 2>&1 | tee "$log" | { grep --line-buffered -Ev '^\[[0-9]+/[0-9]+\] ' || true; } ||
    status=$?
  local closing
  closing=$(grep -E '^=* ?[0-9]+ (passed|failed|error|skipped).* in [0-9.]+s' "$log" | tail -1 |
            sed -E 's/^=+ //; s/ =+$//; s/ in [0-9.]+s.*//' || true)
  finish "${closing:-no pytest summary}" "$status"
  return "$status"
}

begin "C++ core tests"
cmake -S . -B build/cpp-tests -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$GLENT_WERROR" >/dev/null
build build/cpp-tests
run_ctest build/cpp-tests

begin "C++ core tests with ASan and UBSan"
cmake -S . -B build/cpp-sanitize -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON \
  -DGLENT_WERROR="$GLENT_WERROR" -DGLENT_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build build/cpp-sanitize
run_ctest build/cpp-sanitize ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

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
  begin "C++ core tests built with Clang"
  CXX=clang++ cmake -S . -B build/cpp-clang -G Ninja -DGLENT_BUILD_PYTHON=OFF \
    -DGLENT_BUILD_TESTS=ON -DGLENT_WERROR="$GLENT_WERROR" >/dev/null
  build build/cpp-clang
  run_ctest build/cpp-clang
else
  summary+=("C++ core tests built with Clang:     not run (GLENT_CLANG=$clang_mode, no clang++)")
fi
# --- end of the Clang block

begin "Python tests of the wheel"
echo "(sdist, wheel built from it, repaired to manylinux, tested where nothing can build)"
# The Python tests run here, once, against the installed wheel (see scripts/test_wheel.sh).
run_pytest_stage "$logs/python-wheel.log" bash scripts/test_wheel.sh

begin "Python tests with ASan and UBSan"
# In the wheel test's environment, which has every test requirement; the sanitized module
# built here comes first on the path.
run_pytest_stage "$logs/python-sanitized.log" \
  env GLENT_TEST_PYTHON="$root/build/release/venv/bin/python" \
  bash scripts/test_python_sanitized.sh -rs
