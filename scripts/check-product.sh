#!/usr/bin/env bash
# Static checks of the product DLL, which this machine cannot run: it is a
# PE32 i386 DLL, imports only Windows system DLLs, exports exactly the
# names of the .def file at their ordinals, and has no export or import
# that the x86_64 build (the one the tests run) lacks. With a VERSION file,
# the DLL and the programs beside it also carry a version resource of that
# version, are stripped, and have their debug information in symbols/ with
# the same build id.
#   scripts/check-product.sh PRODUCT_DLL X64_DLL DEF_FILE [VERSION_FILE]
set -euo pipefail
product="$1" tested="$2" def="$3" version_file="${4:-}"
fail() { echo "check-product: $*" >&2; exit 1; }
objdump=x86_64-w64-mingw32-objdump  # reads PE32 and PE32+ alike

file -b "$product" | grep -q '^PE32 executable (DLL).*Intel 80386' ||
  fail "$product is not a PE32 i386 DLL: $(file -b "$product")"

# Windows' own DLLs only: no C++ runtime, thread library or dependency DLL.
system_dlls='^(ADVAPI32|KERNEL32|MSVCRT|OLE32|OLEAUT32|PSAPI|RPCRT4|SECUR32|SHLWAPI|WS2_32|CRYPT32|USERENV|NETAPI32|DBGHELP|USER32|BCRYPT|NTDLL|SHELL32|VERSION|MSWSOCK|IPHLPAPI|WINTRUST|ODBC32)\.DLL$'
while read -r dll; do
  echo "$dll" | tr a-z A-Z | grep -Eq "$system_dlls" || fail "$product imports $dll, which is not a Windows system DLL"
done < <($objdump -p "$product" | sed -n 's/^\tDLL Name: //p')

# name@ordinal of the export table (the name pointer table counts from the ordinal base).
exports() {
  $objdump -p "$1" | awk '
    /Export Address Table -- Ordinal Base/ { base = $NF }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^\t\[/ { sub(/^\t\[ */, ""); split($0, part, "] "); print part[2] "@" part[1] + base; next }
    names && !/^\t/ { names = 0 }' | sort
}
wanted=$(sed -n 's/^ *"\{0,1\}\([^" ]*\)"\{0,1\} *\(= *[^ ]* *\)\{0,1\}@\([0-9]*\).*/\1@\3/p' "$def" | sort)
[ "$(exports "$product")" = "$wanted" ] ||
  fail "exports differ from $def:"$'\n'"$(diff <(echo "$wanted") <(exports "$product") || true)"
[ "$(exports "$tested")" = "$wanted" ] || fail "the x86_64 build's exports differ from $def"

# DLL:function of the import table.
imports() {
  $objdump -p "$1" | awk '/DLL Name:/ { dll = toupper($3); next }
    /^\t[0-9a-f]+\t +[0-9]+ +/ { if (dll != "") print dll ":" $3 }' | sort -u
}
# What the i686 start files and C runtime import under other names than
# on x86_64; anything else only the product imports means an i686-only path.
arch_runtime='^(KERNEL32\.DLL:LoadLibraryA|MSVCRT\.DLL:(__mb_cur_max|_iob|_setjmp3|setlocale|time))$'
only_product=$(comm -23 <(imports "$product") <(imports "$tested") | grep -Ev "$arch_runtime" || true)
[ -z "$only_product" ] || fail "imports the x86_64 build lacks:"$'\n'"$only_product"

# The CodeView (RSDS) signature that ld's --build-id wrote, or nothing.
build_id() { $objdump -p "$1" | sed -n 's/.*format RSDS signature \([0-9a-f]*\) age.*/\1/p'; }
shipped() {  # binary, version
  local name rc debug sections
  name=$(basename "$1")
  rc=$(x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null) || fail "$name has no resources"
  for key in FileVersion ProductVersion; do
    grep -q "VALUE \"$key\", \"$2\"" <<<"$rc" || fail "$name: $key is not $2: $(grep "\"$key\"" <<<"$rc")"
  done
  for key in FileDescription OriginalFilename LegalCopyright; do
    grep -q "VALUE \"$key\"" <<<"$rc" || fail "$name has no $key"
  done
  # Whole outputs first: grep -q ending a pipe early would fail it under pipefail.
  sections=$($objdump -h "$1")
  ! grep -q ' \.debug_' <<<"$sections" || fail "$name still holds debug information"
  debug="$(dirname "$1")/symbols/$name.debug"
  [ -f "$debug" ] || fail "$debug is missing"
  sections=$($objdump -h "$debug")
  grep -q ' \.debug_info' <<<"$sections" || fail "$debug: no debug information"
  [ -n "$(build_id "$1")" ] && [ "$(build_id "$1")" = "$(build_id "$debug")" ] ||
    fail "$name and $debug do not share a build id"
}
if [ -n "$version_file" ]; then
  version=$(head -n1 "$version_file")
  for binary in "$product" "$(dirname "$product")"/*.exe; do shipped "$binary" "$version"; done
  echo "check-product: the DLL and $(cd "$(dirname "$product")" && ls *.exe | tr '\n' ' ')carry version $version, are stripped, symbols in $(dirname "$product")/symbols"
fi
echo "check-product: $product is PE32 i386, imports only system DLLs, exports match $def"
