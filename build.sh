#!/usr/bin/env bash
# hvcdmtutils: set up, build, test and demo.
#   ./build.sh test   install what is missing, build both DLLs, run the tests
#   ./build.sh demo   the same build, then a scripted session through the CLI host
#   ./build.sh build  build only (dependencies must be installable)
#   ./build.sh soak   the same build, then the long soak of every export
#   ./build.sh bench  the same build, then every benchmark five times, one table
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
  scripts/check-product.sh dist/hvcdmtutils.dll dist/x64/hvcdmtutils.dll exports/hvcdmtutils.def VERSION
}

run_tests() {  # build dir, label; prints "<label>: N passed, N failed"
  step "tests: $2"
  scripts/wine-run.sh --prepare
  local log="$1/ctest-run.log" rc=0 start=$SECONDS
  (cd "$1" && ctest --output-on-failure -j1 --timeout 300) 2>&1 | tee "$log" || rc=$?
  tally "$2" "$(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$log" | tail -n 1)"
  echo "($2: $((SECONDS - start)) s)"
  return "$rc"
}

# Counts of each tested build, for the closing lines.
tallies=() all_passed=0 all_failed=0
tally() {  # label, "total failed" or "passed failed +"
  local label="$1" a b plus
  read -r a b plus <<<"${2:-1 1}"  # no counts: one failure
  local passed=$((a - b)) failed=$b
  [ -n "$plus" ] && passed=$a
  tallies+=("$label: $passed passed, $failed failed")
  all_passed=$((all_passed + passed)) all_failed=$((all_failed + failed))
}

# Every build/x86_64/bin/hvcbench*.exe five times against the stand-in
# service and a private MariaDB server that this function starts and stops;
# the programs' result lines (format in bench/benchutil.h) become one table.
run_benches() {
  step "benchmarks (five runs each, x86_64 build under 64-bit Wine)"
  local bin="$root/build/x86_64/bin" run="$root/scripts/wine-run.sh" runs=5
  scripts/wine-run.sh --prepare
  mkdir -p "$HVC_CACHE/mariadb"
  bench_dir="$(mktemp -d "$HVC_CACHE/mariadb/bench.XXXXXX")"
  bench_service=""
  trap stop_benches EXIT
  scripts/mariadb.sh start "$bench_dir"
  local HVC_DB_HOST HVC_DB_PORT HVC_DB_NAME HVC_DB_LOGIN HVC_DB_PASSWORD HVC_DB_SOCKET
  . "$bench_dir/connection.env"
  printf '%s\n' "param MySQL_DB_HOST=$HVC_DB_HOST" "param MySQL_DB_PORT=$HVC_DB_PORT" \
    "param mySQLDBName=$HVC_DB_NAME" "param ORVEX_DATABASE_LOGIN=$HVC_DB_LOGIN" \
    'param ORVEX_DATABASE_PROVIDER_NAME=MySQL' "param BENCH_PARAMETER=$(printf 'v%.0s' $(seq 64))" \
    "password pwd=$HVC_DB_PASSWORD" > "$bench_dir/params.txt"
  "$run" "$bin/orvexsrv.exe" --quiet "Z:${bench_dir//\//\\}\\params.txt" </dev/null >/dev/null 2>&1 &
  bench_service=$!
  local i ready=""
  for i in $(seq 100); do
    if "$run" "$bin/hvcdmt.exe" param BENCH_PARAMETER >/dev/null 2>&1; then ready=1; break; fi
    kill -0 "$bench_service" 2>/dev/null || break
    sleep 0.2
  done
  [ -n "$ready" ] || { echo "the stand-in service did not answer" >&2; return 1; }

  local results="$bench_dir/results.txt" program
  : > "$results"
  export HVC_BENCH_DB_ENV="Z:${bench_dir//\//\\}\\connection.env"
  local lines
  for program in "$bin"/hvcbench*.exe; do
    for i in $(seq "$runs"); do
      printf '  %s run %d of %d\n' "$(basename "$program")" "$i" "$runs"
      lines=$( (cd "$bin" && "$run" "$program") | tr -d '\r') \
        || { echo "$(basename "$program") failed" >&2; return 1; }
      # A program that prints no result lines has no place in the table.
      if ! grep '^HVCBENCH ' <<<"$lines" >> "$results"; then
        echo "  $(basename "$program") printed no result lines (bench/benchutil.h): left out"
        break
      fi
    done
  done
  print_bench_table "$results"
}

# Per benchmark: medians of the export, the anchor and the ratio of each run,
# the lowest and highest ratio, and whether the median ratio meets the target.
print_bench_table() {
  local names name
  names=$(awk '!seen[$2]++ { print $2 }' "$1")
  printf '\n%-44s %12s %12s %7s %15s %7s %s\n' benchmark export anchor ratio "spread" target verdict
  for name in $names; do
    awk -v name="$name" '$2 == name { print $3, $4, $3 / $4, $5 }' "$1" | sort -g -k3 | awk -v name="$name" '
      function median(values, n,    sorted, i, j, t) {
        for (i = 1; i <= n; i++) sorted[i] = values[i]
        for (i = 2; i <= n; i++) for (j = i; j > 1 && sorted[j - 1] > sorted[j]; j--) {
          t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t }
        return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
      }
      { n++; e[n] = $1; a[n] = $2; r[n] = $3; target = $4 }
      END {
        m = median(r, n)
        verdict = target == "-" ? "-" : (m <= target + 0 ? "ok" : "ABOVE")
        printf "%-44s %12.4g %12.4g %7.3f %7.3f-%-7.3f %7s %s\n", name, median(e, n), median(a, n), m, r[1], r[n], target, verdict
      }'
  done
  echo "(medians of the runs; ratio = export / anchor per run; spread = lowest-highest ratio)"
}

stop_benches() {
  if [ -n "${bench_service:-}" ]; then
    "$root/scripts/wine-run.sh" "$root/build/x86_64/bin/orvexsrv.exe" --stop >/dev/null 2>&1 || true
    for _ in $(seq 50); do kill -0 "$bench_service" 2>/dev/null || break; sleep 0.1; done
    kill "$bench_service" 2>/dev/null || true
  fi
  if [ -n "${bench_dir:-}" ]; then
    scripts/mariadb.sh stop "$bench_dir" || true
    rm -rf "$bench_dir"
  fi
}

case "${1:-}" in
  test)
    setup; build
    status=0
    run_tests build/x86_64 "x86_64 build under 64-bit Wine" || status=1
    step "32-bit Wine: on this machine, or in the emulated guest (built once into $HVC_CACHE/guest32)"
    start=$SECONDS
    where=$(scripts/wine32-available.sh) || where=""
    echo "32-bit Wine: ${where:-none} ($((SECONDS - start)) s)"
    case "$where" in
      native)
        HVC_WINE32=1 run_tests build/i686 "i686 build (the product) under 32-bit Wine" || status=1
        echo "builds tested: x86_64 and i686" ;;
      guest)
        step "tests: i686 build (the product) under 32-bit Wine in the emulated guest"
        start=$SECONDS
        guest_log="$root/build/i686/guest-run.log"
        # Counted and listed; failing the run only with HVC_I686_REQUIRED=1
        # until the i686 suites pass in full in the guest.
        # Bounded as a whole, so that the run stays inside CI's limit
        # whatever the emulation costs on the day.
        if ! timeout -k 60 "${HVC_GUEST_BUDGET:-1800}" scripts/guest32/run-tests.sh build/i686 2>&1 |
             tee "$guest_log"; then
          if [ "${HVC_I686_REQUIRED:-}" = 1 ]; then status=1
          else echo "i686 failures above are reported, not fatal (HVC_I686_REQUIRED=1 makes them fatal)"; fi
        fi
        counts="$(sed -n 's/^i686 (guest): \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2 +/p' "$guest_log" | tail -n 1)"
        if [ "${HVC_I686_REQUIRED:-}" = 1 ]; then
          tally "i686 build (the product) under 32-bit Wine in the guest" "$counts"
        else
          # Reported beside the closing count, which holds the required builds only.
          read -r i686_passed i686_failed _ <<<"${counts:-0 0 +}"
          tallies+=("i686 build in the guest (reported, not required) - $i686_passed passed; $i686_failed failed")
        fi
        echo "(i686 in the guest: $((SECONDS - start)) s)"
        echo "builds tested: x86_64 and i686" ;;
      *)
        echo "builds tested: x86_64 only; the i686 product build was compiled and checked statically" \
             "(no 32-bit Windows program runs on this machine)" ;;
    esac
    printf '%s\n' "${tallies[@]}"
    echo "$all_passed passed, $all_failed failed"
    exit "$status" ;;
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
  bench)
    setup; build
    run_benches ;;
  *)
    sed -n '2,7p' "$0"; exit 2 ;;
esac
