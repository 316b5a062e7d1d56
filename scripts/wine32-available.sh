#!/usr/bin/env bash
# True only when a 32-bit Windows program actually runs here. Finding the
# 32-bit loader is not enough: it installs on machines whose kernel runs no
# 32-bit code at all, and under user-mode emulation it crashes.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
loader=
for candidate in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /usr/bin/wine32; do
  [ -x "$candidate" ] && loader=$candidate && break
done
[ -n "$loader" ] || exit 1
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 42; }\n' > "$probe/probe.c"
i686-w64-mingw32-gcc -o "$probe/probe.exe" "$probe/probe.c" 2>/dev/null || exit 1
HVC_WINE32=1 . "$here/wine-env.sh"
timeout 120 "$HVC_WINE" "$probe/probe.exe" </dev/null >/dev/null 2>&1
[ $? -eq 42 ]
