# Sourced: the project's own Wine prefix and quiet settings.
export WINEPREFIX="${HVC_WINEPREFIX:-${HVC_CACHE:-/var/cache/hvcdmtutils}/wineprefix64}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# /usr/bin/wine may pick the 32-bit loader when wine32 is installed; the
# 64-bit prefix needs the 64-bit one.
if [ "${HVC_WINE32:-}" = 1 ]; then HVC_WINE=wine  # picks the loader by the program's bitness
elif command -v wine64 >/dev/null 2>&1; then HVC_WINE=wine64
elif [ -x /usr/lib/wine/wine64 ]; then HVC_WINE=/usr/lib/wine/wine64
else HVC_WINE=wine; fi
export HVC_WINE
