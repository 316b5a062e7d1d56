# The i686 test run inside the guest (sh; cwd is the shared folder, which
# holds bin/, scripts/, tests/cli_test.sh and the database's files). Programs
# are copied to the guest's own disk first: mapped from 9p they fault.
# Results: results/<suite>.log, the GoogleTest output of each executable, run
# one test case (group) per process under a time limit; a process that dies
# is started again without the tests it reached. results/cli.log: the CLI check.
set -u
local=/root/run
rm -rf "$local" && mkdir -p "$local" results
cp -r bin scripts tests "$local/"
[ -f odbc.ini ] && cp odbc.ini connection.env "$local/"
export HVC_WINE32=1 HVC_WINEPREFIX=$WINEPREFIX
[ -f "$local/connection.env" ] && export HVC_TEST_DB_ENV='Z:\root\run\connection.env' ODBCINI=$local/odbc.ini
filter=$(cat filter 2>/dev/null || echo '*')

# One pattern: its tests in as many processes as it takes.
run_pattern() {  # executable, pattern, log
  local done_list="" attempt
  for attempt in 1 2 3 4 5 6; do
    # To a file, not a pipe: stand-ins the tests start outlive the process
    # with its output handle, and a pipe's reader would wait for them.
    (cd "$local/bin" && timeout -k 10 "${HVC_GUEST_GROUP_TIMEOUT:-900}" wine "$1" --gtest_color=no \
       "--gtest_filter=$2${done_list:+-$done_list}") </dev/null >"$3.raw" 2>&1
    tr -d '\r' <"$3.raw" >"$3.part"
    cat "$3.part" >>"$3"
    grep -q '^\[  PASSED  \]' "$3.part" && return
    echo "HVC-PROCESS-DIED $2 attempt $attempt" >>"$3"
    done_list=$(sed -n 's/^\[ RUN      \] \([^ ]*\)$/\1/p' "$3.part" | tr '\n' ':' | sed 's/:$//')${done_list:+:$done_list}
  done
}

set -f  # the patterns are for GoogleTest, not the shell
for suite in hvctests hvcdbtests; do
  log=results/$suite.log
  : >"$log"
  if [ "$filter" = '*' ]; then
    groups=$( (cd "$local/bin" && wine "$suite.exe" --gtest_list_tests) </dev/null 2>/dev/null | tr -d '\r' \
              | sed -n 's/^\([^ #][^ ]*\.\).*/\1*/p')
  else
    groups=$filter
  fi
  for group in $groups; do run_pattern "$suite.exe" "$group" "$log"; done
  rm -f "$log.part" "$log.raw"
done
case "$filter" in
  '*'|*cli_host*)
    bash "$local/tests/cli_test.sh" "$local/scripts/wine-run.sh" "$local/bin" >results/cli.log 2>&1
    echo "rc=$?" >>results/cli.log ;;
esac
exit 0
