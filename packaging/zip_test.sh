#!/usr/bin/env bash
# The Windows zip as a user meets it, under Wine: it unpacks into one folder
# that holds the host, the DLL and LOADING.txt; from another folder the host
# finds the DLL beside itself by its bare name; started without a command
# line on a console of its own (a double-click) it runs that DLL, shows the
# progress line with the entries' names intact and the erase sequence taken,
# and waits for a key before the window closes. Exits 77 (skipped) where
# Wine cannot start 32-bit Windows programs.
# Usage: zip_test.sh BUILD-DIR WINE-PROBE.exe VERSION
set -euo pipefail
build=$1 probe=$2 version=$3
work="$build/packaging/zip-test"
folder="circuit2-$version-win32"
fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/unpacked" "$work/elsewhere"
(cd "$build" && cpack -G ZIP -B "$work/package" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
zip="$work/package/$folder.zip"
listing=$(cd "$work" && cmake -E tar tf "$zip" | sed 's|/$||' | sort | tr '\n' ' ')
[ "$listing" = "$folder/LOADING.txt $folder/circuit-host.exe $folder/circuit2.dll " ] ||
    fail "the zip holds: $listing"
(cd "$work/unpacked" && cmake -E tar xf "$zip")

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
command -v wine >/dev/null || { echo "skipped: wine is not installed"; exit 77; }
timeout 300 wine "$probe" >"$work/probe.log" 2>&1 ||
    { echo "skipped: 32-bit Windows programs cannot start under Wine here"; exit 77; }
host="$work/unpacked/$folder/circuit-host.exe"

out=$(cd "$work/elsewhere" && timeout 300 wine "$host" --check-only --entries 0 circuit2.dll </dev/null) ||
    fail "circuit-host.exe circuit2.dll from another folder"
grep -q "^Module .*$folder.circuit2.dll" <<<"$out" || fail "the DLL beside the host was not the one run: $out"

# A console of its own: a terminal (script's), a key sent every second once
# the run has started, which only the wait at the end reads.
command -v script >/dev/null || { echo "skipped: the double-click check needs script (util-linux)"; exit 77; }
(cd "$work/elsewhere" && (trap "" PIPE; sleep 3; while sleep 1; do echo || exit 0; done) |
    timeout 300 script -qfec "stty cols 250 rows 50; wine '$host'" "$work/console.log" >/dev/null) ||
    fail "circuit-host.exe without a command line (see $work/console.log)"
log="$work/console.log"
grep -aq "Module .*$folder.circuit2.dll" "$log" || fail "without a command line it did not run the DLL beside it"
grep -aqF "circuit-host: entry 0 of 14 (C言語 SDKコード" "$log" || fail "the progress line lost the entry's name"
! grep -aqP '(?<!\x1b)\[K' "$log" || fail "the progress line shows a literal [K"
grep -aq "Press" "$log" || fail "it did not wait for a key before its window closed"
echo "the zip unpacks into $folder/, finds its DLL, and runs on a double-click"
