#!/usr/bin/env bash
# scripts/symbolize-dump.sh on a dump the library wrote when an export was
# given an unreadable string (x86_64 build under Wine), on an i686 dump of
# the i686 build's layout (no 32-bit program runs here), and on a file that
# is no minidump.
#   symbolize_test.sh WINE_RUN BIN_DIR SOURCE_DIR [I686_BIN_DIR]
set -uo pipefail
run="$1"; bin="$2"; src="$3"; bin32="${4:-}"
export LC_ALL=C.UTF-8
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
. "$(dirname "$run")/wine-env.sh"
name="hvcsym-$$"; dir="$WINEPREFIX/drive_c/$name"; key='HKLM\SOFTWARE\Orvex\HVC Config\Config'
mkdir -p "$dir"
cleanup() {
  for value in PRODUCT_ROOT_D CrashDumpsLocation; do
    "$run" reg delete "$key" /v "$value" /f /reg:32 >/dev/null 2>&1
  done
  rm -rf "$dir"
}
trap cleanup EXIT
"$run" reg add "$key" /v PRODUCT_ROOT_D /t REG_SZ /d "C:\\$name" /f /reg:32 >/dev/null
"$run" reg add "$key" /v CrashDumpsLocation /t REG_SZ /d "C:\\$name" /f /reg:32 >/dev/null
(cd "$bin" && "$run" hvctesthelper.exe fault-export >/dev/null 2>&1)
dump=$(ls "$dir"/*.dmp 2>/dev/null | head -n1)
[ -n "$dump" ] || { echo "FAIL: the helper left no dump in $dir"; exit 1; }

# The faulting frame: the library's function and a line of one of its sources;
# the export's own frame above it; the caller as module+offset.
check_stack() {  # label, output, fault function pattern, caller function pattern, caller module or ""
  local label="$1" out="$2" first file line
  first=$(grep -m1 '^#0 ' <<<"$out")
  if [[ "$first" =~ ^#0\ +hvcdmtutils\.dll!(.+)\ (/[^ ]+):([0-9]+)$ ]]; then
    file="${BASH_REMATCH[2]}"; line="${BASH_REMATCH[3]}"
    [[ "${BASH_REMATCH[1]}" =~ $3 ]] || fail "$label: frame 0 is not in $3: $first"
    [[ "$file" == "$src"/* && -f "$file" && "$line" -le $(wc -l <"$file") ]] ||
      fail "$label: frame 0 names no line of the tree's sources: $first"
  else
    fail "$label: frame 0 is not module!function file:line of the library: $first"
  fi
  grep -Eq "^#[1-9][0-9]* +hvcdmtutils\.dll!$4 " <<<"$out" || fail "$label: no frame of $4 above it"
  [ -z "$5" ] || grep -Eq "^#[0-9]+ +$5\+0x[0-9a-f]+$" <<<"$out" || fail "$label: no $5+offset frame"
  [ "$failures" = 0 ] && echo "ok: $label"
}
out=$("$src/scripts/symbolize-dump.sh" "$dump" "$bin/symbols" 2>&1) || fail "x86_64 dump: exit $?: $out"
echo "$out"
check_stack "x86_64 dump the library wrote" "$out" '^(copyCallerText|exportframe::)' 'HVC_idn_toAscii' 'hvctesthelper\.exe'

if [ -f "$bin32/symbols/hvcdmtutils.dll.debug" ]; then
  python3 "$src/tests/make_i686_dump.py" "$bin32" "$dir/i686.dmp" 'exportframe::callerText[abi:cxx11](char const*)' \
    'HVC_idn_toAscii' || fail "i686 dump could not be made"
  out=$("$src/scripts/symbolize-dump.sh" "$dir/i686.dmp" "$bin32/symbols" 2>&1) || fail "i686 dump: exit $?: $out"
  echo "$out"
  check_stack "i686 dump layout, relocated module" "$out" '^exportframe::callerText' 'HVC_idn_toAscii' ''
  [ "$(grep -c '^#' <<<"$out")" = 2 ] || fail "i686 dump: a data word on the stack was taken for a frame"
else
  echo "skipped: i686 dump layout (no i686 build with symbols at '$bin32')"
fi

printf 'no dump\n' > "$dir/text.dmp"
out=$("$src/scripts/symbolize-dump.sh" "$dir/text.dmp" "$bin/symbols" 2>&1) && fail "a text file was read as a dump"
[[ "$out" == *"is not a minidump"* ]] && echo "ok: a text file is refused: $out" || fail "unclear refusal: $out"
exit $failures
