#!/usr/bin/env bash
# hvcdmtutils: set up, build, test and demo.
#   ./build.sh test   install what is missing, build both DLLs, run the tests
#   ./build.sh demo   the same build, then a scripted session through the CLI host
#   ./build.sh build  build only (dependencies must be installable)
#   ./build.sh soak   the same build, then the long soak of every export
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
root="$PWD"
export HVC_CACHE="${HVC_CACHE:-/var/cache/hvcdmtutils}"
export HVC_DEPS_CACHE="${HVC_DEPS_CACHE:-$HVC_CACHE/deps}"
export LC_ALL=C.UTF-8
jobs="$(nproc)"

step() { printf '\n== %s\n' "$*"; }

setup() {
  step "packages"
  scripts/setup.sh
  step "dependencies (cached in $HVC_DEPS_CACHE)"
  scripts/deps.sh i686-w64-mingw32 x86_64-w64-mingw32
}

configure_build() {  # triple, build dir, install prefix
  local triple="$1" dir="$2" arch="${1%%-*}"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
      -DHVC_DEPS_DIR="$HVC_DEPS_CACHE/$triple" \
      -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh" \
      -DCMAKE_INSTALL_PREFIX="$3"
  fi
  cmake --build "$dir" -j "$jobs"
  cmake --install "$dir" >/dev/null
}

build() {
  step "build i686 (product) and x86_64 (test build)"
  configure_build i686-w64-mingw32 build/i686 "$root/dist"
  configure_build x86_64-w64-mingw32 build/x86_64 "$root/dist/x64"
  file dist/hvcdmtutils.dll dist/x64/hvcdmtutils.dll
  echo "imports of dist/hvcdmtutils.dll:"
  i686-w64-mingw32-objdump -p dist/hvcdmtutils.dll | sed -n 's/^\tDLL Name: /  /p'
  scripts/check-product.sh dist/hvcdmtutils.dll dist/x64/hvcdmtutils.dll exports/hvcdmtutils.def
}

run_tests() {  # build dir, label
  step "tests: $2"
  scripts/wine-run.sh --prepare
  (cd "$1" && ctest --output-on-failure -j1 --timeout 300)
}

case "${1:-}" in
  test)
    setup; build
    run_tests build/x86_64 "x86_64 build under 64-bit Wine"
    if scripts/wine32-available.sh; then
      HVC_WINE32=1 run_tests build/i686 "i686 build (the product) under 32-bit Wine"
      echo "builds tested: x86_64 and i686"
    else
      echo "builds tested: x86_64 only; the i686 product build was compiled and checked statically" \
           "(no 32-bit Windows program runs on this machine)"
    fi ;;
  demo)
    setup; build
    scripts/demo.sh ;;
  build)
    setup; build ;;
  soak)
    setup; build
    step "soak (x86_64 build under 64-bit Wine)"
    scripts/wine-run.sh --prepare
    soakdb="$HVC_CACHE/mariadb/soak"
    scripts/wine-run.sh --server-start
    trap 'scripts/mariadb.sh stop "$soakdb" >/dev/null 2>&1 || true; scripts/wine-run.sh --server-stop' EXIT
    scripts/mariadb.sh start "$soakdb"
    (cd build/x86_64/bin && "$root/scripts/wine-run.sh" hvcsoak.exe --db "Z:$soakdb/connection.env") ;;
  *)
    sed -n '2,7p' "$0"; exit 2 ;;
esac
