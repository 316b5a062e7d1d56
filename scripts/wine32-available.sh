#!/usr/bin/env bash
# Where a 32-bit Windows program actually runs: prints "native" (this
# machine's Wine) or "guest" (the emulated guest of scripts/guest32, built
# on first use), or exits 1. Finding the 32-bit loader is not enough: it
# installs on machines whose kernel runs no 32-bit code at all, and under
# user-mode emulation it crashes. HVC_GUEST32=0 leaves the guest out.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
probe="$(mktemp -d "${HVC_CACHE:-/var/cache/hvcdmtutils}/wine32-probe.XXXXXX" 2>/dev/null || mktemp -d)"
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 42; }\n' > "$probe/probe.c"
i686-w64-mingw32-gcc -o "$probe/probe.exe" "$probe/probe.c" 2>/dev/null || exit 1
for candidate in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /usr/bin/wine32; do
  [ -x "$candidate" ] || continue
  (HVC_WINE32=1 . "$here/wine-env.sh"
   timeout 120 "$HVC_WINE" "$probe/probe.exe" </dev/null >/dev/null 2>&1
   [ $? -eq 42 ]) && { echo native; exit 0; }
  break
done
[ "${HVC_GUEST32:-1}" != 0 ] && command -v qemu-system-x86_64 >/dev/null || exit 1
# In the guest, from its own disk (programs mapped from the share fault).
printf '%s\n' 'cp probe.exe /root/probe.exe' 'wine /root/probe.exe </dev/null >/dev/null 2>&1' \
  'echo "rc=$?" >probe.rc' >"$probe/job.sh"
"$here/guest32/guest.sh" run "$probe" >&2 || exit 1
grep -qx 'rc=42' "$probe/probe.rc" 2>/dev/null || exit 1
echo guest
