#!/usr/bin/env bash
# Installs whatever is missing to build Tarnwick and run its tests, then builds
# and installs the module. Safe to run again: it only installs what is absent.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
SUDO=""
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; fi

packages=(libroaring-dev libgtest-dev g++)
if [ "${1:-test}" = test ]; then
  # The interpreter's debug build, when Debian has one for this version: the
  # leak tests also count references with it.
  dbg=$($PY -c 'import sys; print("python%d.%d-dbg" % sys.version_info[:2])')
  if apt-cache show "$dbg" >/dev/null 2>&1; then packages+=("$dbg"); fi
fi
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

pip_missing=()
$PY -c 'import scikit_build_core' 2>/dev/null || pip_missing+=("scikit-build-core")
command -v cmake >/dev/null 2>&1 || pip_missing+=("cmake")
command -v ninja >/dev/null 2>&1 || pip_missing+=("ninja")
if [ ${#pip_missing[@]} -gt 0 ]; then
  echo "setup: pip installing ${pip_missing[*]}"
  $PY -m pip install -q "${pip_missing[@]}"
fi

extras=${1:-test}
echo "setup: building and installing Tarnwick[$extras]"
$PY -m pip install -q --no-build-isolation ".[$extras]"
