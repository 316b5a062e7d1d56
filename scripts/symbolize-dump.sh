#!/usr/bin/env bash
# A minidump that hvcdmtutils wrote, as a stack of module!function file:line
# (the library's frames, from the split debug files in SYMBOLS_DIR, default
# dist/symbols) and module+offset (the others). See scripts/symbolize_dump.py.
#   scripts/symbolize-dump.sh DUMP [SYMBOLS_DIR]
set -euo pipefail
exec python3 "$(dirname "${BASH_SOURCE[0]}")/symbolize_dump.py" "$@"
