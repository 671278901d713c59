# Sourced by the other scripts: installs the system packages glent needs to build (Debian/Ubuntu,
# as root or through sudo) and activates a virtual environment (GLENT_VENV, default .venv).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
${PYTHON:-python3} -c 'import venv, ensurepip' >/dev/null 2>&1 || missing+=(python3-venv)
# The headers to build an extension module against (Debian ships them apart from the interpreter).
${PYTHON:-python3} -c 'import os, sysconfig; assert os.path.exists(
    os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1 ||
  missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing system packages: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

venv=${GLENT_VENV:-$root/.venv}
if [ ! -x "$venv/bin/python" ]; then
  ${PYTHON:-python3} -m venv "$venv"
fi
# shellcheck disable=SC1091
. "$venv/bin/activate"
python -m pip install -q --upgrade pip
