# Sourced by the other scripts. tarnwick_setup MODE chooses the interpreter
# they all use, sets PY to it, installs what is missing, and (except in mode
# "build") builds and installs Tarnwick into it.
#
# The interpreter:
#   PYTHON=/path/python  that interpreter, unless its distribution manages its
#                        packages (PEP 668: Debian's /usr/bin/python3), in which
#                        case the project's .venv is made from it;
#   an active virtual environment ($VIRTUAL_ENV) when PYTHON is not set;
#   otherwise the project's .venv, made from python3 when it does not exist.
# The .venv sees the packages its interpreter already has
# (--system-site-packages), so that nothing is downloaded twice.
#
# Modes: "demo" installs what building needs, "test" also the test tools
# (GoogleTest, the debug interpreter, the test extras), "build" builds nothing.
# TARNWICK_WHEEL=path installs that wheel instead of building from source.
# Safe to run again: it installs only what is absent.

TARNWICK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARNWICK_VENV=${TARNWICK_VENV:-$TARNWICK_ROOT/.venv}
SUDO=""
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; fi

# Prints what the interpreter $1 is: "venv", "managed" (PEP 668) or "free".
tarnwick_python_kind() {
  "$1" - <<'EOF'
import os, sys, sysconfig
if sys.prefix != sys.base_prefix:
    print("venv")
elif os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")):
    print("managed")
else:
    print("free")
EOF
}

# Installs the Debian packages named, those not installed yet.
tarnwick_apt() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: please install ${missing[*]} (or their equivalents on this system)" >&2
    return 1
  fi
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Sets PY (see above) and puts its scripts directory first on PATH.
tarnwick_choose_python() {
  local base kind
  PY=""
  if [ -n "${PYTHON:-}" ]; then
    base=$(command -v "$PYTHON") || { echo "setup: PYTHON=$PYTHON is not an interpreter" >&2; return 1; }
    kind=$(tarnwick_python_kind "$base")
    if [ "$kind" != managed ]; then PY=$base; fi
  elif [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
    PY=$VIRTUAL_ENV/bin/python
  else
    base=$(command -v python3) || { echo "setup: no python3 found; set PYTHON" >&2; return 1; }
  fi
  if [ -z "${PY:-}" ]; then
    if [ -x "$TARNWICK_VENV/bin/python" ] && "$TARNWICK_VENV/bin/python" -c '' 2>/dev/null; then
      local want have
      want=$("$base" -c 'import sys; print(sys.base_prefix, sys.version_info[:2])')
      have=$("$TARNWICK_VENV/bin/python" -c 'import sys; print(sys.base_prefix, sys.version_info[:2])')
      if [ -n "${PYTHON:-}" ] && [ "$want" != "$have" ]; then
        echo "setup: $TARNWICK_VENV was made from another interpreter ($have);" \
             "remove it to make it again from $PYTHON" >&2
        return 1
      fi
      echo "setup: using the virtual environment $TARNWICK_VENV"
    else
      if ! "$base" -c 'import ensurepip, venv' 2>/dev/null; then
        tarnwick_apt "$("$base" -c 'import sys; print("python%d.%d-venv" % sys.version_info[:2])')"
      fi
      echo "setup: making the virtual environment $TARNWICK_VENV from $base"
      rm -rf "$TARNWICK_VENV"
      "$base" -m venv --system-site-packages "$TARNWICK_VENV"
    fi
    PY=$TARNWICK_VENV/bin/python
  fi
  PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
  export PATH
}

# Installs with pip those of the given "module:requirement" pairs whose module
# the interpreter cannot import.
tarnwick_pip() {
  local missing=() pair
  for pair in "$@"; do
    "$PY" -c "import ${pair%%:*}" 2>/dev/null || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: pip installing ${missing[*]}"
  "$PY" -m pip install -q "${missing[@]}"
}

tarnwick_setup() {
  local mode=${1:-test}
  tarnwick_choose_python
  if [ -n "${TARNWICK_WHEEL:-}" ] && [ "$mode" = demo ]; then
    echo "setup: installing $TARNWICK_WHEEL"
    "$PY" -m pip install -q "$TARNWICK_WHEEL"
    return 0
  fi

  local packages=(libroaring-dev g++)
  # Headers of the interpreter, when it does not ship its own (Debian's does not).
  if ! "$PY" -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))'; then
    packages+=("$("$PY" -c 'import sys; print("python%d.%d-dev" % sys.version_info[:2])')")
  fi
  if [ "$mode" = test ]; then
    packages+=(libgtest-dev)
    # The interpreter's debug build, when Debian has one for this version: the
    # leak tests also count references with it.
    local dbg
    dbg=$("$PY" -c 'import sys; print("python%d.%d-dbg" % sys.version_info[:2])')
    if apt-cache show "$dbg" >/dev/null 2>&1; then packages+=("$dbg"); fi
  fi
  tarnwick_apt "${packages[@]}"

  local tools=(scikit_build_core:scikit-build-core)
  command -v cmake >/dev/null 2>&1 || tools+=(cmake:cmake)
  command -v ninja >/dev/null 2>&1 || tools+=(ninja:ninja)
  tarnwick_pip "${tools[@]}"
  [ "$mode" = build ] && return 0

  local target=.
  if [ "$mode" = test ]; then target=".[test]"; fi
  echo "setup: building and installing Tarnwick into $("$PY" -c 'import sys; print(sys.prefix)')"
  (cd "$TARNWICK_ROOT" && "$PY" -m pip install -q --no-build-isolation "$target")
}
