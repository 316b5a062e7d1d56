# The i686 test run inside the guest (sh; cwd is the shared folder, which
# holds bin/, scripts/, tests/cli_test.sh and the database's files). Programs
# are copied to the guest's own disk first: mapped from 9p they fault.
# Results: results/<suite>.log, one GoogleTest log per executable (a run that
# dies is continued without the tests it finished) and the CLI check's log.
set -u
share=$PWD
local=/root/run
rm -rf "$local" && mkdir -p "$local" results
cp -r bin scripts tests "$local/"
[ -f odbc.ini ] && cp odbc.ini connection.env "$local/"
export HVC_WINE32=1 HVC_WINEPREFIX=$WINEPREFIX
[ -f "$local/connection.env" ] && export HVC_TEST_DB_ENV='Z:\root\run\connection.env' ODBCINI=$local/odbc.ini
filter=$(cat filter 2>/dev/null || echo '*')
for suite in hvctests hvcdbtests; do
  log=results/$suite.log
  : >"$log"
  done_list=""
  for attempt in 1 2 3 4 5 6; do
    (cd "$local/bin" && timeout "${HVC_GUEST_SUITE_TIMEOUT:-2400}" wine "$suite.exe" --gtest_color=no \
       "--gtest_filter=$filter${done_list:+-$done_list}") >"$log.part" 2>&1
    tr -d '\r' <"$log.part" >>"$log"
    tr -d '\r' <"$log.part" >"$log.last"
    grep -q '^\[  PASSED  \]' "$log.last" && break
    # Died midway: note it and go on without the tests that reported.
    echo "HVC-SUITE-DIED attempt $attempt" >>"$log"
    done_list=$(sed -n 's/^\[ *\(OK\|FAILED\) *\] \([^ ]*\) (.*/\2/p; s/^\[ RUN      \] \([^ ]*\)$/\1/p' "$log" \
                | sort -u | tr '\n' ':' | sed 's/:$//')
  done
  rm -f "$log.part" "$log.last"
done
case "$filter" in
  '*'|*cli_host*)
    bash "$local/tests/cli_test.sh" "$local/scripts/wine-run.sh" "$local/bin" >results/cli.log 2>&1
    echo "rc=$?" >>results/cli.log ;;
esac
exit 0
