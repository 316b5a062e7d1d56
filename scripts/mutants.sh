#!/usr/bin/env bash
# Planted-fault runs: see scripts/mutants.py (never part of ./build.sh test).
set -euo pipefail
exec python3 "$(dirname "$0")/mutants.py" "$@"
