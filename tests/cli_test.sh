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
# --version: the host's and the DLL's version resources, both the project's VERSION.
version=$(head -n1 "$(dirname "$run")/../VERSION")
out=$("$run" "$bin/hvcdmt.exe" --version | tr -d '\r')
[[ "$out" == "hvcdmt $version"$'\n'"hvcdmtutils.dll $version "*'\hvcdmtutils.dll' ]] && echo "ok: --version" ||
  fail "--version: '$out' (VERSION $version)"
# rmtree --dry-run lists in removal order, marks what needs --force, keeps a
# directory link as one entry, and changes nothing.
mkdir -p "$drive_c/$tree/dry/sub" "$drive_c/$tree/outside"
printf 'abc' > "$drive_c/$tree/dry/sub/ro.txt" && chmod a-w "$drive_c/$tree/dry/sub/ro.txt"
printf 'hello' > "$drive_c/$tree/dry/plain.txt" && printf 'x' > "$drive_c/$tree/outside/kept.txt"
ln -s "$drive_c/$tree/outside" "$drive_c/$tree/dry/link"
listing() { (cd "$drive_c/$tree" && find . -printf '%p %m %s %T@\n' | sort); }
before=$(listing)
out=$("$run" "$bin/hvcdmt.exe" rmtree --dry-run "C:\\$tree\\dry" | tr -d '\r')
wanted="file C:\\$tree\\dry\\plain.txt
link C:\\$tree\\dry\\link  (removed as a link, its target kept)
file C:\\$tree\\dry\\sub\\ro.txt  (needs --force: read-only)
dir  C:\\$tree\\dry\\sub
dir  C:\\$tree\\dry
5 entries, 8 bytes, 1 would need --force; nothing was changed"
[ "$out" = "$wanted" ] && echo "ok: rmtree --dry-run lists" || fail "rmtree --dry-run: '$out'"$'\n'"wanted '$wanted'"
[ "$before" = "$(listing)" ] && echo "ok: rmtree --dry-run changed nothing" || fail "rmtree --dry-run changed the tree"
# --json: one object that parses, with the command's figures.
json_field() {  # json, python expression over o
  python3 -c 'import json, sys; o = json.loads(sys.argv[1]); print(eval(sys.argv[2]))' "$1" "$2" 2>&1
}
json_check() {  # label, expression that must print True, args...
  local label="$1" expr="$2" out; shift 2
  out=$("$run" "$bin/hvcdmt.exe" --json "$@" 2>/dev/null | tr -d '\r')
  # The 32-bit guest has no Python: there the objects are not parsed.
  if ! command -v python3 >/dev/null; then echo "skipped (no python3): --json $label"; return; fi
  [ "$(json_field "$out" "$expr")" = True ] && echo "ok: --json $label" || fail "--json $label: '$out'"
}
json_check dry-run "o['result'] == 'success' and o['needForce'] == 1 and [e['kind'] for e in o['entries']] == \
  ['file', 'link', 'file', 'dir', 'dir'] and o['entries'][2]['force'] == ['read-only']" rmtree --dry-run "C:\\$tree\\dry"
json_check value "o == {'result': 'success', 'exitCode': 0, 'error': None, 'value': 'xn--bcher-kva.example'}" \
  idn-to-ascii "bücher.example"
json_check failure "o['result'] == 'failure' and o['exitCode'] == 1 and o['error'].startswith('Unable to create')" mkdir ""
json_check usage "o['exitCode'] == 2 and o['result'] == 'failure'" rmtree
json_check version "o['cliVersion'] == o['dllVersion'] == '$version' and o['dllPath'].endswith('hvcdmtutils.dll')" --version
# rmtree --progress: the line on standard error though it is no console;
# --json counts what went.
rm "$drive_c/$tree/dry/link"
err=$("$run" "$bin/hvcdmt.exe" --progress --json rmtree --force "C:\\$tree\\dry" 2>&1 >/tmp/hvcdmt-cli-json.$$)
out=$(tr -d '\r' </tmp/hvcdmt-cli-json.$$); rm -f /tmp/hvcdmt-cli-json.$$
[[ "$err" == *"removed: 4 entries, 8 bytes"* ]] && echo "ok: rmtree --progress" || fail "rmtree --progress: '$err'"
if ! command -v python3 >/dev/null; then echo "skipped (no python3): rmtree --json figures"
elif [ "$(json_field "$out" "o['entriesRemoved'] == 4 and o['bytes'] == 8")" = True ] && [ ! -e "$drive_c/$tree/dry" ]; then
  echo "ok: rmtree --json figures"
else fail "rmtree --json: '$out'"; fi
# A command through the stand-in run-as service (one per prefix): as the
# guest, with an extra variable, both streams and the exit code.
"$run" "$bin/runassrv.exe" --quiet &
for _ in $(seq 50); do "$run" "$bin/hvcdmt.exe" exec -- cmd /c exit 0 >/dev/null 2>&1 && break; sleep 0.2; done
check 4 "42" "err" exec --user GUEST --env demo_value=42 -- cmd /c "echo %DEMO_VALUE%& echo err 1>&2& exit 4"
json_check exec "o['exitCode'] == 4 and o['result'] == 'success' and o['output'] == '42\\r\\n'" \
  exec --env demo_value=42 -- cmd /c "echo %DEMO_VALUE%& exit 4"
"$run" "$bin/runassrv.exe" --stop
exit $failures
