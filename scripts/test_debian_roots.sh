#!/usr/bin/env bash
# Builds and tests glent where users run it today: in a Debian 13 ("trixie") root and a Debian
# testing root, each made with debootstrap from Debian's archive, kept under build/roots/ and
# reused while complete. In each root, chrooted:
#   - the C++ tests, built with the root's GCC and with its Clang, warnings as errors, and the
#     tracking fingerprint of every kernel variant (it must be e54653d04ed52c05);
#   - for every CPython the root has a NumPy built for: the module built by pip with
#     --no-build-isolation against that root's NumPy, scikit-build-core and CMake, installed
#     outside the source tree, and the Python tests run against that installation.
# Prints one line per combination, "matrix <root> <compiler or python> ok|FAILED <counts>", and
# exits non-zero when any combination fails. A root that cannot be made or lacks a package (the
# archive in the middle of a transition) is reported loudly and skipped, not failed; a missing
# third-party package for one interpreter shows as skipped tests (with the reason) in its line.
#
# Run as root on a Debian or Ubuntu x86-64 machine (it installs debootstrap unless GLENT_NO_APT=1).
#   GLENT_ROOTS      which roots, default "trixie testing"
#   GLENT_MIRROR     the Debian archive, default the one this machine's apt sources name
#                    (else http://deb.debian.org/debian)
#   GLENT_REMAKE=1   make the roots again even when complete
# Logs: build/roots/logs/<root>-<combination>.log (the tail is printed when a step fails).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd -P)   # as /proc/mounts spells it
cd "$repo"
jobs=$(nproc 2>/dev/null || echo 2)
fingerprint=e54653d04ed52c05
[ "$(id -u)" -eq 0 ] || { echo "test_debian_roots.sh: run as root (debootstrap, chroot, mount)" >&2; exit 2; }

export DEBIAN_FRONTEND=noninteractive
if [ "${GLENT_NO_APT:-0}" != 1 ] && ! command -v debootstrap >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq debootstrap >/dev/null
fi

# The Debian archive this machine installs from (deb822 or one-line sources), else Debian's own.
mirror=${GLENT_MIRROR:-$(
  { grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{for (i = 2; i <= NF; i++) print $i}'
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}'
  } | grep -E '/debian/?$' | head -1 || true)}
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}

# What the matrix needs in a root, nothing more: compilers, build tools, GoogleTest, the
# interpreter's headers, NumPy, the build backend and the test requirements (scikit-image for its
# sample photos, SciPy, pytest). Interpreters besides the default one are added afterwards, one
# for every CPython the root's NumPy is built for.
packages="g++ clang cmake ninja-build libgtest-dev python3-dev python3-numpy python3-pip
python3-scikit-build-core python3-pytest python3-scipy python3-skimage"
packages=$(echo $packages)

roots_dir="$repo/build/roots"
logs="$roots_dir/logs"
mkdir -p "$logs"

loud() {
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo "!!! $*"
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
}

# Mount points of this run, unmounted in reverse order on exit, whatever the exit.
mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null ||
      echo "test_debian_roots.sh: could not unmount ${mounts[i]}" >&2
  done
  mounts=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mounted_inside() {  # prints the mount points at or below $1
  awk -v d="$1" '$2 == d || index($2, d "/") == 1 {print $2}' /proc/mounts
}

# /proc, and a /dev of its own: a small tmpfs with the few device nodes builds and tests use (not
# the machine's /dev, so nothing done in the root can reach the machine's device nodes).
mount_root() {
  local dir=$1 node
  [ -z "$(mounted_inside "$dir")" ] || { echo "test_debian_roots.sh: $dir has mounts already" >&2; return 1; }
  mkdir -p "$dir/proc" "$dir/dev" || return 1
  mount -t proc proc "$dir/proc" || return 1
  mounts+=("$dir/proc")
  mount -t tmpfs -o mode=755,size=64m,nosuid glent-dev "$dir/dev" || return 1
  mounts+=("$dir/dev")
  for node in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0"; do
    set -- $node
    mknod -m 666 "$dir/dev/$1" c "$2" "$3" || return 1
  done
  mkdir -m 1777 "$dir/dev/shm" || return 1  # POSIX semaphores (multiprocessing) live here
  ln -s /proc/self/fd "$dir/dev/fd" && ln -s /proc/self/fd/0 "$dir/dev/stdin" &&
    ln -s /proc/self/fd/1 "$dir/dev/stdout" && ln -s /proc/self/fd/2 "$dir/dev/stderr"
}

in_root() {  # in_root DIR COMMAND...: runs a command chrooted, in a clean environment
  local dir=$1; shift
  chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TMPDIR=/tmp DEBIAN_FRONTEND=noninteractive "$@"
}

# Makes the root unless it is complete (its marker names the same package set). Returns 1 when
# the root cannot be made: the caller skips it.
make_root() {
  local name=$1 suite=$2 dir=$3 log=$4 script="" tag
  local marker="$dir/.glent-root-complete"
  if [ "${GLENT_REMAKE:-0}" != 1 ] && [ -f "$marker" ] &&
     [ "$(head -1 "$marker")" = "packages: $packages" ]; then
    echo "== [$name] reusing the root in ${dir#"$repo"/} (made $(sed -n 2p "$marker"))"
    return 0
  fi
  local busy
  busy=$(mounted_inside "$dir")
  if [ -n "$busy" ]; then
    loud "$dir must be made again, but something is mounted inside it:" $busy
    echo "!!! refusing to delete it; unmount those first." >&2
    exit 1
  fi
  echo "== [$name] making a Debian $suite root in ${dir#"$repo"/} from $mirror"
  rm -rf "$dir"
  mkdir -p "$dir"
  # Debian 12's debootstrap has no script for the testing suite's code name; sid's serves.
  [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=/usr/share/debootstrap/scripts/sid
  debootstrap --variant=minbase "$suite" "$dir" "$mirror" $script >"$log" 2>&1 || {
    tail -15 "$log"; return 1; }
  # debootstrap leaves nothing mounted when it succeeds; check, as a later rm -rf relies on it.
  [ -z "$(mounted_inside "$dir")" ] || { echo "debootstrap left mounts in $dir" >&2; exit 1; }
  cp -L --remove-destination /etc/resolv.conf "$dir/etc/resolv.conf"   # for apt in the root
  # An archive snapshot can carry a Release whose Valid-Until has passed; the signature is
  # still checked. No recommends, no documentation: the packages the matrix needs and no more.
  cat > "$dir/etc/apt/apt.conf.d/90glent" <<'APT'
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
APT
  cat > "$dir/etc/dpkg/dpkg.cfg.d/90glent-nodoc" <<'DPKG'
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
DPKG
  mount_root "$dir" || exit 1
  local ok=1
  {
    in_root "$dir" apt-get update -q &&
      in_root "$dir" apt-get install -y -q $packages
  } >>"$log" 2>&1 || ok=0
  if [ $ok = 1 ]; then
    # Every other CPython the root's NumPy is built for, with its headers.
    for tag in $(numpy_abis "$dir"); do
      [ -e "$dir/usr/include/python$tag/Python.h" ] && continue
      echo "== [$name] NumPy is built for CPython $tag: adding python$tag-dev"
      in_root "$dir" apt-get install -y -q "python$tag-dev" >>"$log" 2>&1 ||
        loud "[$name] NumPy is built for CPython $tag but python$tag-dev cannot be installed (see ${log#"$repo"/})"
    done
    in_root "$dir" apt-get clean >>"$log" 2>&1 || true
  fi
  unmount_all
  [ $ok = 1 ] || { tail -15 "$log"; return 1; }
  printf 'packages: %s\n%s\n' "$packages" "$(date -u '+%Y-%m-%d %H:%M UTC')" > "$marker"
}

numpy_abis() {  # the CPython versions (3.13, ...) the root's NumPy has compiled modules for
  find "$1/usr/lib/python3/dist-packages/numpy" -name '_multiarray_umath.cpython-3*.so' 2>/dev/null |
    sed -E 's/.*cpython-3([0-9]+)-.*/3.\1/' | sort -t. -k2,2n -u
}

status=0
lines=()
record() {  # record ROOT WHAT ok|FAILED COUNTS
  local line="matrix $1 $2 $3 $4"
  echo "$line"
  lines+=("$line")
  [ "$3" = ok ] || status=1
}

# One C++ combination: configure, build, ctest, then the fingerprint of every variant.
cpp_combination() {
  local name=$1 dir=$2 cxx=$3 label=$4 log=$5 counts fps bad
  if in_root "$dir" sh -ec "
      cmake -S /glent/src -B /glent/build/cpp-$cxx -G Ninja -DCMAKE_CXX_COMPILER=$cxx \
        -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_TESTS=ON -DGLENT_WERROR=ON
      cmake --build /glent/build/cpp-$cxx -j$jobs
      ctest --test-dir /glent/build/cpp-$cxx --output-on-failure -j$jobs
      /glent/build/cpp-$cxx/glent_fingerprint" >"$log" 2>&1; then
    # "100% tests passed, 0 tests failed out of N", or from CMake 4.5 "100% tests passed out of N"
    counts=$(grep -Eo 'tests passed.* out of [0-9]+' "$log" | tail -1 | awk '{print $NF " tests passed"}')
    fps=$(grep '^fingerprint ' "$log" | awk '{print $2 "=" $3}' | tr '\n' ' ')
    echo "   $fps"
    bad=$(grep '^fingerprint ' "$log" | awk -v f=$fingerprint '$3 != f' || true)
    if [ -z "$bad" ] && grep -q '^fingerprint ' "$log"; then
      record "$name" "$label" ok "$counts, fingerprint $fingerprint ($(grep -c '^fingerprint ' "$log") variants)"
    else
      record "$name" "$label" FAILED "$counts, fingerprint differs: $fps"
    fi
  else
    tail -40 "$log"
    counts=$(grep -Eo '([0-9]+ tests failed )?out of [0-9]+' "$log" | tail -1 || true)
    record "$name" "$label" FAILED "${counts:-build failed} (${log#"$repo"/})"
  fi
}

# One Python combination: pip builds and installs the module (and glent_sequences, the stubs)
# into /glent/site-X.Y with the root's build backend; pytest runs from /tmp with that directory
# on the path, so the module under test is the installed one.
python_combination() {
  local name=$1 dir=$2 version=$3 label=$4 log=$5 counts
  if in_root "$dir" timeout 1800 sh -ec "
      rm -rf /glent/site-$version
      GLENT_WERROR=ON python$version -m pip install --no-build-isolation --no-deps --no-index \
        --break-system-packages --disable-pip-version-check --root-user-action=ignore \
        --config-settings=build-dir=/glent/build/python$version \
        --target /glent/site-$version /glent/src
      cd /tmp
      PYTHONPATH=/glent/site-$version python$version -m pytest -q -p no:cacheprovider -rs \
        /glent/src/tests/python" >"$log" 2>&1; then
    counts=$(tail -1 "$log" | sed -E 's/^=* *//; s/ in [0-9.]+s.*$//')
    # The reasons for skipped tests, each once with its count.
    grep '^SKIPPED' "$log" | sed -E 's/^SKIPPED \[([0-9]+)\] [^ ]+: /\1 /' |
      awk '{n = $1; $1 = ""; sum[substr($0, 2)] += n} END {for (r in sum) print "   skipped " sum[r] ": " r}' || true
    record "$name" "$label" ok "$counts"
  else
    tail -40 "$log"
    counts=$(grep -E '(passed|failed|error)' "$log" | tail -1 | sed -E 's/^=* *//; s/ in [0-9.]+s.*$//')
    record "$name" "$label" FAILED "${counts:-build failed} (${log#"$repo"/})"
  fi
}

run_root() {
  local name=$1 suite=$2 dir="$roots_dir/$1" started=$SECONDS
  if ! make_root "$name" "$suite" "$dir" "$logs/$name-make.log"; then
    loud "[$name] SKIPPED: the Debian $suite root could not be made (the archive may be in" \
      "the middle of a transition); see ${logs#"$repo"/}/$name-make.log"
    echo "matrix $name - skipped (no root)"
    lines+=("matrix $name - skipped (no root)")
    return 0
  fi
  echo "== [$name] root ready after $((SECONDS - started)) s"
  mount_root "$dir" || exit 1
  # The source tree, copied (times kept, so the builds under /glent/build are incremental).
  rm -rf "$dir/glent/src"
  mkdir -p "$dir/glent/src" "$dir/glent/build"
  tar -C "$repo" --exclude=./build --exclude='./build*' --exclude='./.venv*' --exclude=./.git \
    --exclude=./dist --exclude=./out --exclude=./_skbuild --exclude=./bench/out \
    --exclude=./examples/out --exclude=__pycache__ --exclude='*.so' --exclude=.pytest_cache \
    --exclude=.mypy_cache --exclude='*.egg-info' -cf - . | tar -C "$dir/glent/src" -xf -

  local glibc cmake_v gtest_v numpy_v skbuild_v gcc_v clang_v
  glibc=$(in_root "$dir" dpkg-query -W -f '${Version}' libc6 | sed 's/-.*//')
  cmake_v=$(in_root "$dir" cmake --version | awk 'NR == 1 {print $3}')
  gtest_v=$(in_root "$dir" dpkg-query -W -f '${Version}' libgtest-dev | sed 's/-.*//')
  numpy_v=$(in_root "$dir" dpkg-query -W -f '${Version}' python3-numpy | sed -E 's/^[0-9]+://; s/[+-].*//')
  skbuild_v=$(in_root "$dir" dpkg-query -W -f '${Version}' python3-scikit-build-core | sed 's/-.*//')
  gcc_v=$(in_root "$dir" g++ -dumpfullversion)
  clang_v=$(in_root "$dir" clang++ -dumpversion)
  echo "== [$name] glibc $glibc, GCC $gcc_v, Clang $clang_v, CMake $cmake_v, GoogleTest $gtest_v," \
    "NumPy $numpy_v (built for CPython $(numpy_abis "$dir" | tr '\n' ' ' | sed 's/ $//'))," \
    "scikit-build-core $skbuild_v"

  echo "== [$name] C++ tests, GCC $gcc_v"
  cpp_combination "$name" "$dir" g++ "gcc-$gcc_v" "$logs/$name-gcc.log"
  echo "== [$name] C++ tests, Clang $clang_v"
  cpp_combination "$name" "$dir" clang++ "clang-$clang_v" "$logs/$name-clang.log"

  local version found=0 full
  for version in $(numpy_abis "$dir"); do
    if [ ! -x "$dir/usr/bin/python$version" ] || [ ! -e "$dir/usr/include/python$version/Python.h" ]; then
      loud "[$name] NumPy is built for CPython $version, but python$version or its headers are" \
        "missing from the root: CPython $version skipped"
      continue
    fi
    found=1
    full=$(in_root "$dir" "python$version" -c 'import platform; print(platform.python_version())')
    echo "== [$name] Python tests, CPython $full, NumPy $numpy_v"
    python_combination "$name" "$dir" "$version" "python-$full" "$logs/$name-python$version.log"
  done
  [ $found = 1 ] || loud "[$name] no CPython with a NumPy in this root: nothing to test in Python"
  unmount_all
  echo "== [$name] done in $((SECONDS - started)) s"
}

for name in ${GLENT_ROOTS:-trixie testing}; do
  run_root "$name" "$name"   # the root is named after its suite
done

echo "== Debian roots, summary ($SECONDS s)"
printf '%s\n' "${lines[@]}"
[ $status = 0 ] || echo "test_debian_roots.sh: some combinations FAILED (logs in ${logs#"$repo"/})" >&2
exit $status
