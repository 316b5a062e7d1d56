#!/usr/bin/env bash
# The i686 build's suites in the 32-bit guest (guest.sh): both GoogleTest
# executables with their stand-ins and child programs, the database suites
# against a private MariaDB server on this host (reached through the guest's
# forwarded port), and the CLI check.
#   run-tests.sh BUILD_DIR [FILTER]    FILTER: a --gtest_filter pattern
# Prints a summary per suite and a closing "N passed, N failed" line; exit
# code 0 only when every test that ran passed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
bin="$(cd "$1/bin" && pwd)"
filter="${2:-*}"
cache="${HVC_CACHE:-/var/cache/hvcdmtutils}"
mkdir -p "$cache/mariadb"
share=$(mktemp -d "$cache/guest32-share.XXXXXX")
dbdir="$cache/mariadb/guest32-tests"
cleanup() {
  [ -n "${port:-}" ] && "$root/scripts/mariadb.sh" stop "$dbdir" >/dev/null 2>&1
  [ -n "${HVC_GUEST_KEEP:-}" ] && echo "results kept in $share" || rm -rf "$share"
}
trap cleanup EXIT

mkdir -p "$share/bin" "$share/scripts" "$share/tests"
for f in "$bin"/*.exe "$bin"/*.dll; do
  case "$(basename "$f")" in hvcbench*|hvcsoak*) ;; *) cp "$f" "$share/bin/" ;; esac
done
cp "$root/scripts/wine-run.sh" "$root/scripts/wine-env.sh" "$share/scripts/"
cp "$root/tests/cli_test.sh" "$share/tests/"
cp "$root/VERSION" "$share/"  # the CLI test compares the resources with it
cp "$here/job-tests.sh" "$share/job.sh"
printf '%s\n' "$filter" >"$share/filter"

port=""
if [ "${HVC_GUEST_NO_DB:-}" != 1 ]; then
  "$root/scripts/mariadb.sh" start "$dbdir" >/dev/null
  (
    . "$dbdir/connection.env"
    port=$HVC_DB_PORT
    # The guest sees the server as 10.0.2.100:3306 (guest.sh forwards it).
    printf '%s\n' HVC_DB_HOST=10.0.2.100 HVC_DB_PORT=3306 "HVC_DB_NAME=$HVC_DB_NAME" \
      "HVC_DB_LOGIN=$HVC_DB_LOGIN" "HVC_DB_PASSWORD=$HVC_DB_PASSWORD" HVC_DB_ODBC_DSN=hvctest \
      >"$share/connection.env"
    printf '%s\n' '[hvctest]' 'Driver=/usr/lib/i386-linux-gnu/odbc/libmaodbc.so' Server=10.0.2.100 \
      Port=3306 "Database=$HVC_DB_NAME" "User=$HVC_DB_LOGIN" "Password=$HVC_DB_PASSWORD" >"$share/odbc.ini"
  )
  port=$(sed -n 's/^HVC_DB_PORT=//p' "$dbdir/connection.env")
fi

start=$SECONDS
rc=0
"$here/guest.sh" run "$share" "$port" || rc=$?
echo "guest run: $((SECONDS - start)) s (exit code $rc)"
[ "$rc" = 0 ] || { cat "$share/job.out" 2>/dev/null; }

# Per GoogleTest log: passed, failed (a test that started and never reported
# counts as failed: the process died in it) and skipped.
total_pass=0 total_fail=0 failed_names=()
[ "$rc" = 0 ] || { total_fail=1; failed_names+=("the guest run itself (exit code $rc)"); }
for suite in hvctests hvcdbtests; do
  log="$share/results/$suite.log"
  if [ ! -f "$log" ]; then
    echo "$suite: no results"; total_fail=$((total_fail + 1)); failed_names+=("$suite (did not run)"); continue
  fi
  # A test's own output may lack its closing newline: GoogleTest's marks then
  # start mid-line. Put them on lines of their own.
  sed -i 's/\(.\)\(\[ *\(RUN\|OK\|FAILED\|SKIPPED\) *\] \)/\1\n\2/g' "$log"
  read -r pass fail skip died < <(awk '
    /^\[ RUN      \] / { running[$4] = 1 }
    /^\[       OK \] / { pass++; delete running[$4] }
    /^\[  FAILED  \] .* \([0-9]+ ms\)$/ { fail++; delete running[$4] }
    /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { skip++; delete running[$4] }
    END { died = 0; for (t in running) died++; print pass + 0, fail + 0, skip + 0, died }' "$log")
  while read -r name; do failed_names+=("$suite: $name"); done < <(awk '
    /^\[ RUN      \] / { running[$4] = 1 }
    /^\[       OK \] |^\[  SKIPPED \] / { delete running[$4] }
    /^\[  FAILED  \] .* \([0-9]+ ms\)$/ { print $4; delete running[$4] }
    END { for (t in running) print t " (the process died in it)" }' "$log")
  fail=$((fail + died))
  echo "$suite (i686, guest): $pass passed, $fail failed, $skip skipped"
  total_pass=$((total_pass + pass)) total_fail=$((total_fail + fail))
done
cli="$share/results/cli.log"
if [ -f "$cli" ]; then
  cli_ok=$(grep -c '^ok: ' "$cli" || true) cli_fail=$(grep -c '^FAIL: ' "$cli" || true)
  grep -qx 'rc=0' "$cli" || [ "$cli_fail" -gt 0 ] || cli_fail=1
  echo "cli_host (i686, guest): $cli_ok checks passed, $cli_fail failed"
  if [ "$cli_fail" = 0 ]; then total_pass=$((total_pass + 1)); else
    total_fail=$((total_fail + 1)); failed_names+=("cli_host"); grep '^FAIL' "$cli" || tail -n 5 "$cli"; fi
fi
if [ ${#failed_names[@]} -gt 0 ]; then
  echo "failed in the guest:"; printf '  %s\n' "${failed_names[@]}"
  for suite in hvctests hvcdbtests; do
    [ -f "$share/results/$suite.log" ] && grep -B2 -A12 -E '^\[  FAILED  \] .* \([0-9]+ ms\)$|HVC-SUITE-DIED' \
      "$share/results/$suite.log" | grep -v '^\[       OK \]' | head -n 200 || true
  done
fi
echo "i686 (guest): $total_pass passed, $total_fail failed"
[ "$rc" = 0 ] && [ "$total_fail" = 0 ]
