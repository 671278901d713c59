#!/usr/bin/env bash
# Installs glent with what its examples need and runs the demo, or the example named first
# (`run_demo.sh stabilise` runs examples/stabilise.py); the other arguments are passed on (try
# --help). Pictures and animations are written to examples/out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
script=examples/demo.py
if [ $# -gt 0 ] && [ -f "examples/$1.py" ]; then
  script=examples/$1.py
  shift
fi
echo "Building glent and installing what the examples use (OpenCV, scikit-image, matplotlib," \
  "Dask) into .venv: about a minute the first time, less after that."
. scripts/setup_env.sh
mkdir -p build
log=build/install.log
start=$SECONDS
python -m pip install "$root[examples]" >"$log" 2>&1 ||
  { cat "$log"; echo "installing glent failed; pip's output is above and in $log"; exit 1; }
echo "glent installed in $((SECONDS - start)) s (pip's output: $log); running $script"
python "$script" "$@"
