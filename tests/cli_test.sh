#!/usr/bin/env bash
# The command-line host against the DLL: results on stdout, the library's
# error text on stderr with a non-zero exit.
set -uo pipefail
run="$1"; bin="$2"
export LC_ALL=C.UTF-8
failures=0
check() {  # expected-exit expected-stdout expected-stderr-prefix args...
  local want_rc="$1" want_out="$2" want_err="$3"; shift 3
  local out err rc
  out="$("$run" "$bin/hvcdmt.exe" "$@" 2>/tmp/hvcdmt-cli-err.$$)"; rc=$?
  err="$(cat /tmp/hvcdmt-cli-err.$$)"; rm -f /tmp/hvcdmt-cli-err.$$
  out="${out%$'\r'}"
  if [ "$rc" != "$want_rc" ] || [ "$out" != "$want_out" ] || [[ "$err" != "$want_err"* ]]; then
    echo "FAIL: hvcdmt $*: rc=$rc out='$out' err='$err' (wanted rc=$want_rc out='$want_out' err='$want_err...')"
    failures=$((failures + 1))
  else
    echo "ok: hvcdmt $*"
  fi
}
check 0 "xn--bcher-kva.example" "" idn-to-ascii "bücher.example"
check 0 "bücher.example" "" idn-to-utf8 "xn--bcher-kva.example"
check 0 "abc" "" base64-decode "YW Jj=="
long="$(printf 'a%.0s' $(seq 64)).example"
check 1 "" "Invalid domain name format: ($long)." idn-to-ascii "$long"
check 2 "" "hvcdmt: unknown command" no-such-command
check 2 "" "usage:" idn-to-ascii
# Directories, in a scratch tree on the Wine prefix's C: drive.
. "$(dirname "$run")/wine-env.sh"
tree="hvcdmt-cli-$$"; drive_c="$WINEPREFIX/drive_c"
on_disk() {  # description test-expression...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
check 0 "" "" mkdir "C:\\$tree\\a\\b"
check 0 "" "" mkdir-nested "C:\\$tree\\a\\c\\d"
on_disk "created" test -d "$drive_c/$tree/a/b" -a -d "$drive_c/$tree/a/c/d"
check 1 "" "Unable to create directory with wrong name" mkdir ""
check 0 "" "" rename-dir "C:\\$tree\\a" "C:\\$tree\\renamed"
on_disk "renamed" test -d "$drive_c/$tree/renamed/c/d" -a ! -e "$drive_c/$tree/a"
check 0 "" "" rmtree "C:\\$tree\\no-such-dir"
printf 'x' > "$drive_c/$tree/renamed/ro.txt"
"$run" "$bin/hvcdmt.exe" mkdir "C:\\$tree" >/dev/null  # existing: nothing to do
chmod a-w "$drive_c/$tree/renamed/ro.txt"  # read-only for Wine
check 1 "" "" rmtree "C:\\$tree"
on_disk "read-only file kept without --force" test -f "$drive_c/$tree/renamed/ro.txt"
check 0 "" "" rmtree --force "C:\\$tree"
on_disk "removed with --force" test ! -e "$drive_c/$tree"
check 2 "" "usage:" rmtree --force
check 2 "" "usage:" rename-dir "C:\\$tree"
# Commands through the stand-in run-as service (one a Wine prefix).
winbin="Z:${bin//\//\\}"
"$run" "$bin/runassrv.exe" --quiet &
for _ in $(seq 50); do "$run" "$bin/hvcdmt.exe" exec -- cmd /c exit 0 >/dev/null 2>&1 && break; sleep 0.2; done
check 4 "out" "err" exec -- cmd /c "echo out& echo err 1>&2& exit 4"
check 0 "hello there" "" exec --user system --input "hello there" -- "$winbin\\hvcchild.exe" echo-in
out="$(printf 'from stdin' | "$run" "$bin/hvcdmt.exe" exec --input - -- "$winbin\\hvcchild.exe" echo-in)"
[ "$out" = "from stdin" ] && echo "ok: exec --input -" || { echo "FAIL: exec --input -: '$out'"; failures=$((failures + 1)); }
check 0 "DEMO_VALUE=42" "" exec --user GUEST --env demo_value=42 --env OTHER=1 -- cmd /c set DEMO_VALUE
check 0 "C:\\windows" "" exec --dir 'C:\windows' -- "$winbin\\hvcchild.exe" cwd
check 125 "" "Unable to lookup SID for name no-such-user" exec --user no-such-user -- cmd /c exit 0
check 2 "" "usage:" exec --user system cmd /c exit 0
"$run" "$bin/runassrv.exe" --stop
sleep 0.5
check 125 "" "" exec -- cmd /c exit 0
help="$("$run" "$bin/hvcdmt.exe" --help)"
[[ "$help" == *idn-to-utf8* && "$help" == *rmtree* && "$help" == *exec* ]] && echo "ok: --help" || { echo "FAIL: --help"; failures=$((failures + 1)); }
exit $failures
