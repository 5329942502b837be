#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick and runs the demo in examples/.
# Nothing that only the tests need is installed. See scripts/env.sh for the
# interpreter it uses (PYTHON, an active virtual environment, or .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
tarnwick_setup demo
"$PY" examples/demo.py
