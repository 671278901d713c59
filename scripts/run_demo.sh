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
echo "Building glent (a minute or two on 2 cores) and installing it into .venv with what the" \
  "examples use (OpenCV, scikit-image, matplotlib, Dask: downloaded the first time only)."
. scripts/setup_env.sh
mkdir -p build
log=build/install.log
start=$SECONDS
python -m pip install "$root[examples]" >"$log" 2>&1 &
pip_pid=$!
# Every 15 s, what pip is doing (the last line of its output).
while kill -0 "$pip_pid" 2>/dev/null; do
  sleep 1
  if [ $(((SECONDS - start) % 15)) -eq 0 ]; then
    doing=$(grep -v '^WARNING' "$log" | tail -1 | sed 's/^ *//' | cut -c1-90)
    echo "  $((SECONDS - start)) s: $doing"
  fi
done
if ! wait "$pip_pid"; then
  cat "$log"
  echo "installing glent failed; pip's output is above and in $log"
  exit 1
fi
echo "glent installed in $((SECONDS - start)) s (pip's output: $log); running $script"
python "$script" "$@"
