#!/usr/bin/env bash
# Installs whatever is missing to build Tarnwick (and, with "test", to run its
# tests), then builds and installs the module into the interpreter that
# scripts/env.sh chooses. Safe to run again: it only installs what is absent.
#   bash scripts/setup.sh [demo|test|build]
set -euo pipefail
source "$(dirname "$0")/env.sh"
tarnwick_setup "${1:-test}"
