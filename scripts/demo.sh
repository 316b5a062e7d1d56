#!/usr/bin/env bash
# A short scripted session through the command-line host, as a migration
# agent's script would drive the DLL.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run="$root/scripts/wine-run.sh"
export LC_ALL=C.UTF-8
"$run" --prepare
"$run" --server-start
trap '"$run" --server-stop' EXIT
host="$root/build/x86_64/bin/hvcdmt.exe"

say() { printf '\n$ hvcdmt %s\n' "$*"; "$run" "$host" "$@"; echo "(exit $?)"; }

say --help
say idn-to-ascii "bücher.example"
say idn-to-utf8 "xn--bcher-kva.example"
say idn-to-ascii "例子.测试"
say idn-to-ascii "$(printf 'a%.0s' $(seq 64)).example"
say base64-decode "SGVsbG8sIG1pZ3JhdGlvbiBhZ2VudCE="
exit 0
