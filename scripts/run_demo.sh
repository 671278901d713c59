#!/usr/bin/env bash
# Installs glent with what its demo needs and runs the demo; arguments are passed on
# (try --help). Pictures and the animation are written to examples/out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup_env.sh
python -m pip install -q "$root[examples]"
python examples/demo.py "$@"
