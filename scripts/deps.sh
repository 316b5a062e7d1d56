#!/usr/bin/env bash
# Cross-builds GNU libidn and MariaDB Connector/C as static MinGW-w64 libraries
# from Debian source packages. Usage: scripts/deps.sh [triple...]
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${HVC_DEPS_CACHE:-/var/cache/hvcdmtutils/deps}
SRC=$CACHE/src
JOBS=${JOBS:-2}
TRIPLES=("$@")
[ ${#TRIPLES[@]} -gt 0 ] || TRIPLES=(i686-w64-mingw32 x86_64-w64-mingw32)

say() { printf '\n==> %s\n' "$*"; }
die() { printf 'deps.sh: %s\n' "$*" >&2; exit 1; }
# Runs a command with its output in a log; shows the log's tail on failure.
logged() {
  local log=$1; shift
  "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; die "failed: $* (log: $log)"; }
}

# One orig tarball per package; the version comes from its name.
orig() { compgen -G "$SRC/${1}_*.orig.tar.*" | head -n1 || true; }

codename() { (. /etc/os-release && echo "${VERSION_CODENAME:?}"); }

add_deb_src() {
  local codename list=/etc/apt/sources.list.d/hvcdmt-src.sources
  codename=$(codename)
  say "adding deb-src entries for $codename to $list"
  cat >"$list" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get update
}

# The newest (security) upload's orig tarball may be missing from the mirror;
# then fall back to the release suite's.
get_source() {
  local pkg=$1
  [ -n "$(orig "$pkg")" ] && { echo "$pkg: using cached $(basename "$(orig "$pkg")")"; return; }
  # --tar-only: the .dsc's side files are not needed and may be missing.
  (cd "$SRC" && apt-get source --download-only --tar-only "$pkg") \
    || { say "$pkg: newest upload not downloadable, trying $pkg/$(codename)"
         (cd "$SRC" && apt-get source --download-only --tar-only "$pkg/$(codename)"); } \
    || die "apt-get source $pkg failed"
  [ -n "$(orig "$pkg")" ] || die "no ${pkg}_*.orig.tar.* in $SRC"
}

fetch_sources() {
  mkdir -p "$SRC"
  # Lets apt download as its sandbox user instead of warning about root.
  chown _apt "$SRC" 2>/dev/null || true
  say "fetching libidn and mariadb sources into $SRC"
  if [ -z "$(orig libidn)" ] || [ -z "$(orig mariadb)" ]; then
    # apt-get source needs deb-src entries, which Debian images lack by default.
    apt-cache showsrc libidn mariadb 2>/dev/null | grep '^Package: mariadb$' >/dev/null || add_deb_src
  fi
  get_source libidn
  get_source mariadb
}

version_of() { local b; b=$(basename "$1"); b=${b#*_}; echo "${b%.orig.tar.*}"; }

# Unpacks once into dest (dropping `strip` leading dirs, keeping only the given
# member patterns) and applies scripts/patches/<name>-*.patch.
unpack() {
  local name=$1 tarball=$2 dest=$3 strip=$4 p; shift 4
  [ -d "$dest" ] && return
  say "extracting $(basename "$tarball") ${*:-}"
  rm -rf "$dest.tmp"; mkdir -p "$dest.tmp"
  tar -xf "$tarball" -C "$dest.tmp" --strip-components="$strip" --wildcards "$@"
  for p in "$HERE"/patches/"$name"-*.patch; do
    [ -e "$p" ] || continue
    echo "applying $(basename "$p")"
    patch -d "$dest.tmp" -p1 --forward --batch <"$p"
  done
  mv "$dest.tmp" "$dest"
}

build_libidn() {
  local t=$1 prefix=$2 src=$3
  local b=$CACHE/build/$t/libidn
  rm -rf "$b"; mkdir -p "$b"
  say "[$t] libidn: configure + build (log: $b/build.log)"
  (cd "$b" && logged build.log "$src/configure" --host="$t" --prefix="$prefix" \
      CC="$t-gcc-posix" AR="$t-ar" RANLIB="$t-ranlib" \
      --enable-static --disable-shared --disable-nls --disable-doc \
      --without-libiconv-prefix --disable-csharp --disable-java --disable-valgrind-tests)
  # lib/idn-int.h is generated from gnulib's stdint.h: build lib/gl first,
  # and never keep an empty idn-int.h from an out-of-order build.
  logged "$b/build.log" make -C "$b/lib/gl" -j"$JOBS"
  [ -s "$b/lib/idn-int.h" ] || rm -f "$b/lib/idn-int.h"
  logged "$b/build.log" make -C "$b/lib" -j"$JOBS"
  logged "$b/build.log" make -C "$b/lib" install
  rm -f "$prefix/lib/libidn.la"
  [ -f "$prefix/lib/libidn.a" ] || die "libidn.a was not installed"
  [ -s "$prefix/include/idn-int.h" ] || die "installed idn-int.h is empty"
}

build_mariadb() {
  local t=$1 prefix=$2 src=$3 a
  local b=$CACHE/build/$t/mariadb
  rm -rf "$b"; mkdir -p "$b"
  say "[$t] mariadb connector/c: cmake + build (log: $b.log)"
  rm -f "$b.log"
  # Only the static client library is built, so DYNAMIC plugins are never
  # produced: make the useful ones STATIC, and drop those needing bcrypt.
  logged "$b.log" cmake -S "$src" -B "$b" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER="$t-gcc-posix" -DCMAKE_RC_COMPILER="$t-windres" \
    -DCMAKE_AR="$(command -v "$t-ar")" -DCMAKE_RANLIB="$(command -v "$t-ranlib")" \
    -DCMAKE_FIND_ROOT_PATH="/usr/$t" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DWITH_SSL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF \
    -DCLIENT_PLUGIN_DIALOG=STATIC -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=STATIC \
    -DCLIENT_PLUGIN_CLIENT_ED25519=OFF -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=OFF \
    -DCLIENT_PLUGIN_SHA256_PASSWORD=OFF
  logged "$b.log" cmake --build "$b" --target mariadbclient -j "$JOBS"
  a=$(find "$b" -name '*mariadbclient*.a' -o -name 'mariadbclient.lib' | head -n1)
  [ -n "$a" ] || die "static mariadb client library not found in $b"
  install -m644 "$a" "$prefix/lib/libmariadbclient.a"
  # Bundled zlib must be inside, or consumers would need their own -lz.
  "$t-nm" "$prefix/lib/libmariadbclient.a" 2>/dev/null | grep -E ' T _?inflateInit_$' >/dev/null \
    || die "libmariadbclient.a lacks the bundled zlib"
  # Not the generated config.h: that generic name would shadow the consumer's.
  install -m644 "$src"/include/*.h "$b"/include/mariadb_version.h "$b"/include/ma_config.h "$prefix/include/"
  cp -r "$src/include/mysql" "$src/include/mariadb" "$prefix/include/"
}

smoke() {
  local t=$1 prefix=$2 d
  d=$(mktemp -d)
  say "[$t] smoke check in $d"
  cat >"$d/smoke.cpp" <<'EOF'
#include <cstdio>
#include <cstdlib>
#include <idna.h>
#include <mysql.h>
int main() {
  char *out = nullptr;
  if (idna_to_ascii_8z("b\xc3\xbc" "cher.example", &out, 0) != IDNA_SUCCESS) return 1;
  MYSQL *m = mysql_init(nullptr);
  if (!m) return 2;
  std::printf("%s mysql-client=%s\n", out, mysql_get_client_info());
  std::free(out);
  mysql_close(m);
  return 0;
}
EOF
  "$t-g++-posix" -static -O2 -I"$prefix/include" "$d/smoke.cpp" -o "$d/smoke.exe" \
    -L"$prefix/lib" -lmariadbclient -lidn -lws2_32 -lshlwapi -lcrypt32 -lsecur32 -ladvapi32
  "$t-objdump" -p "$d/smoke.exe" | grep 'DLL Name'
  # A DLL counts as a system one when MinGW ships its import library.
  local dll
  for dll in $("$t-objdump" -p "$d/smoke.exe" | awk '/DLL Name/ {print tolower($3)}'); do
    [ -f "/usr/$t/lib/lib${dll%.dll}.a" ] || [[ $dll == api-ms-win-* ]] \
      || die "smoke.exe imports non-system DLL $dll"
  done
  if [ "$t" = x86_64-w64-mingw32 ] && command -v wine >/dev/null; then
    local out
    # Own prefix in the cache; no mono/gecko install prompts.
    out=$(WINEPREFIX=$CACHE/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
      wine "$d/smoke.exe" 2>/dev/null | tr -d '\r')
    echo "wine: $out"
    [[ $out == xn--bcher-kva.example* ]] || die "unexpected IDNA output under wine"
  fi
  rm -rf "$d"
}

fetch_done=
for t in "${TRIPLES[@]}"; do
  prefix=$CACHE/$t
  if [ -f "$prefix/.done" ]; then
    say "[$t] already built ($prefix/.done), skipping"
    continue
  fi
  for tool in gcc-posix g++-posix ar ranlib windres objdump nm; do
    command -v "$t-$tool" >/dev/null || die "missing $t-$tool"
  done
  if [ -z "$fetch_done" ]; then
    fetch_sources
    idn_tar=$(orig libidn); maria_tar=$(orig mariadb)
    idn_src=$SRC/libidn-$(version_of "$idn_tar")
    maria_src=$SRC/libmariadb-$(version_of "$maria_tar")
    say "libidn $(version_of "$idn_tar"), mariadb $(version_of "$maria_tar")"
    unpack libidn "$idn_tar" "$idn_src" 1
    # The server tarball is huge; only its bundled Connector/C is needed.
    unpack mariadb "$maria_tar" "$maria_src" 2 '*/libmariadb/*'
    fetch_done=1
  fi
  start=$SECONDS
  rm -rf "$prefix"; mkdir -p "$prefix/include" "$prefix/lib"
  build_libidn "$t" "$prefix" "$idn_src"
  build_mariadb "$t" "$prefix" "$maria_src"
  smoke "$t" "$prefix"
  touch "$prefix/.done"
  say "[$t] done in $((SECONDS - start))s -> $prefix"
done
