#!/usr/bin/env bash
# True when a 32-bit Wine loader is installed (the i686 build can then run).
[ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ] || [ -x /usr/bin/wine32 ]
