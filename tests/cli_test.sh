#!/usr/bin/env bash
# The command-line host against the DLL, one check per command family: results
# on stdout, the library's error text on stderr with a non-zero exit.
set -uo pipefail
run="$1"; bin="$2"
export LC_ALL=C.UTF-8
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # expected-exit expected-stdout expected-stderr-prefix args...
  local want_rc="$1" want_out="$2" want_err="$3"; shift 3
  local out err rc
  out="$("$run" "$bin/hvcdmt.exe" "$@" 2>/tmp/hvcdmt-cli-err.$$)"; rc=$?
  err="$(cat /tmp/hvcdmt-cli-err.$$)"; rm -f /tmp/hvcdmt-cli-err.$$
  out="${out%$'\r'}"
  if [ "$rc" != "$want_rc" ] || [ "$out" != "$want_out" ] || [[ "$err" != "$want_err"* ]]; then
    fail "hvcdmt $*: rc=$rc out='$out' err='$err' (wanted rc=$want_rc out='$want_out' err='$want_err...')"
  else
    echo "ok: hvcdmt $*"
  fi
}
check 0 "xn--bcher-kva.example" "" idn-to-ascii "bücher.example"
check 0 "abc" "" base64-decode "YW Jj=="
check 2 "" "hvcdmt: unknown command" no-such-command
help="$("$run" "$bin/hvcdmt.exe" --help)"
[[ "$help" == *idn-to-utf8* && "$help" == *rmtree* && "$help" == *exec* ]] && echo "ok: --help" || fail "--help"
# Directories in a scratch tree on the prefix's C: drive: made, renamed, and
# removed by force with a read-only file in it.
. "$(dirname "$run")/wine-env.sh"
tree="hvcdmt-cli-$$"; drive_c="$WINEPREFIX/drive_c"
trap 'chmod -R u+w "$drive_c/$tree" 2>/dev/null; rm -rf "$drive_c/$tree"' EXIT
check 0 "" "" mkdir "C:\\$tree\\a\\b"
check 0 "" "" rename-dir "C:\\$tree\\a" "C:\\$tree\\renamed"
printf 'x' > "$drive_c/$tree/renamed/b/ro.txt" && chmod a-w "$drive_c/$tree/renamed/b/ro.txt"
check 0 "" "" rmtree --force "C:\\$tree"
[ ! -e "$drive_c/$tree" ] && echo "ok: tree made, renamed and removed" || fail "tree left behind"
check 1 "" "Unable to create directory with wrong name" mkdir ""
# A command through the stand-in run-as service (one per prefix): as the
# guest, with an extra variable, both streams and the exit code.
"$run" "$bin/runassrv.exe" --quiet &
for _ in $(seq 50); do "$run" "$bin/hvcdmt.exe" exec -- cmd /c exit 0 >/dev/null 2>&1 && break; sleep 0.2; done
check 4 "42" "err" exec --user GUEST --env demo_value=42 -- cmd /c "echo %DEMO_VALUE%& echo err 1>&2& exit 4"
"$run" "$bin/runassrv.exe" --stop
exit $failures
