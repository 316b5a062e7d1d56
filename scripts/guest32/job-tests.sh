# The i686 test run inside the guest (sh; cwd is the shared folder, which
# holds bin/, scripts/, tests/cli_test.sh and the database's files). Programs
# are copied to the guest's own disk first: mapped from 9p they fault.
# Results: results/<suite>.log, the GoogleTest output of each executable, run
# one test per process under a time limit. results/cli.log: the CLI check.
set -u
local=/root/run
rm -rf "$local" && mkdir -p "$local" results
cp -r bin scripts tests "$local/"
[ -f odbc.ini ] && cp odbc.ini connection.env "$local/"
export HVC_WINE32=1 HVC_WINEPREFIX=$WINEPREFIX
[ -f "$local/connection.env" ] && export HVC_TEST_DB_ENV='Z:\root\run\connection.env' ODBCINI=$local/odbc.ini
filter=$(cat filter 2>/dev/null || echo '*')

# One test in a process of its own. To a file, not a pipe: stand-ins the
# tests start outlive the process with its output handle, and a pipe's
# reader would wait for them.
run_test() {  # executable, test, log
  (cd "$local/bin" && timeout -k 10 "${HVC_GUEST_TEST_TIMEOUT:-900}" wine "$1" --gtest_color=no \
     "--gtest_filter=$2") </dev/null >"$3.raw" 2>&1
  tr -d '\r' <"$3.raw" >"$3.part"
  # A process that ended before the test began still counts the test as begun.
  grep -qxF "[ RUN      ] $2" "$3.part" || echo "[ RUN      ] $2" >>"$3"
  cat "$3.part" >>"$3"
}

set -f  # the patterns are for GoogleTest, not the shell
for suite in hvctests hvcdbtests; do
  log=results/$suite.log
  : >"$log"
  # One test per process, as CTest runs them on the host: the suites assume
  # a fresh process (registries, cached settings, stand-ins) per test. The
  # disabled ones are the child halves of two-process tests.
  tests=$( (cd "$local/bin" && wine "$suite.exe" --gtest_list_tests "--gtest_filter=$filter") </dev/null 2>/dev/null \
           | tr -d '\r' | awk '/^[^ ]/ { group = $1 } /^  [^ ]/ && group $1 !~ /DISABLED_/ { print group $1 }')
  for test in $tests; do run_test "$suite.exe" "$test" "$log"; done
  rm -f "$log.raw" "$log.part"
done
case "$filter" in
  '*'|*cli_host*)
    bash "$local/tests/cli_test.sh" "$local/scripts/wine-run.sh" "$local/bin" >results/cli.log 2>&1
    echo "rc=$?" >>results/cli.log ;;
esac
exit 0
