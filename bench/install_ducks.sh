#!/usr/bin/env bash
# Installs the ducks peer next to a current numpy and pandas.
#
# ducks 0.5.1 declares numpy<2 and BTrees<5: a plain `pip install ducks` would
# take numpy back to 1.x (which pandas 3 refuses), and BTrees 4.x only builds
# with a setuptools that still ships pkg_resources. So its dependencies are
# installed first (BTrees built with such a setuptools), then ducks itself
# without its numpy pin; it runs on numpy 2.
set -euo pipefail
PY=${PYTHON:-python3}
constraints=$(mktemp)
trap 'rm -f "$constraints"' EXIT
echo 'setuptools<80' > "$constraints"
PIP_CONSTRAINT="$constraints" "$PY" -m pip install -q 'BTrees>=4.10,<5' 'cykhash>=2,<3' \
  'readerwriterlock>=1.0.9,<2' 'sortednp>=0.4,<0.5'
"$PY" -m pip install -q --no-deps 'ducks==0.5.1'
"$PY" -c 'import importlib.metadata as m, ducks; print("ducks", m.version("ducks"), "with numpy", m.version("numpy"))'
