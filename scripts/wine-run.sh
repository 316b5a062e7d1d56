#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix (used by CTest as
# the cross-compiling emulator), creating the prefix on first use.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine-env.sh"
# A second volume for the cross-volume tests: V: on another Linux file
# system (tmpfs), so that a directory cannot be renamed onto it in one step.
map_second_volume() {
  local dir="/dev/shm/hvcdmt-volume-$(basename "$WINEPREFIX")"
  # Left alone when it is in place: a running server keeps the drive it found.
  if [ -d "$WINEPREFIX/dosdevices" ] && mkdir -p "$dir" && [ "$(readlink "$WINEPREFIX/dosdevices/v:")" != "$dir" ]; then
    ln -sfn "$dir" "$WINEPREFIX/dosdevices/v:"
  fi
}
case "${1:-}" in
  --prepare)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      echo "creating Wine prefix $WINEPREFIX" >&2
      "$HVC_WINE" wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
    map_second_volume
    exit 0 ;;
  --server-start)
    map_second_volume
    # A persistent server keeps each test process from waiting on Wine's
    # helpers; all streams must be detached or CTest waits for them.
    wineserver -p </dev/null >/dev/null 2>&1 &
    # The first program started brings up Wine's system processes, which
    # live as long as the server and inherit that program's streams: start
    # them here on /dev/null so no test's output pipe is held open.
    "$HVC_WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
  --server-stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
esac
exec "$HVC_WINE" "$@"
