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
help="$("$run" "$bin/hvcdmt.exe" --help)"
[[ "$help" == *idn-to-utf8* ]] && echo "ok: --help" || { echo "FAIL: --help"; failures=$((failures + 1)); }
exit $failures
