#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick and runs the demo in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
${PYTHON:-python3} examples/demo.py
