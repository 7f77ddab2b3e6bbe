#!/usr/bin/env bash
# The suite on a busy machine: a build folder's whole `ctest -j2`, RUNS times
# in a row, each beside `stress-ng --cpu 2` (bounded, and stopped when its run
# ends); stops at the first run that fails.
# Usage: tests/scripts/busy_check.sh BUILD_DIR [RUNS]   (RUNS defaults to 5)
set -u
build=${1:?usage: busy_check.sh BUILD_DIR [RUNS]} runs=${2:-5}
command -v stress-ng >/dev/null || { echo "busy_check: stress-ng is not installed (apt-get install stress-ng)" >&2; exit 2; }
[ -f "$build/CTestTestfile.cmake" ] || { echo "busy_check: $build is not a configured build folder" >&2; exit 2; }
load=
trap '[ -n "$load" ] && kill "$load" 2>/dev/null' EXIT
for run in $(seq 1 "$runs"); do
    stress-ng --cpu 2 --timeout 1200 --quiet &
    load=$!
    log="$build/busy-check-$run.log"
    ctest --test-dir "$build" -j2 --output-on-failure >"$log" 2>&1
    status=$?
    kill "$load" 2>/dev/null
    wait "$load" 2>/dev/null
    load=
    echo "run $run of $runs: $(grep -E 'tests passed|No tests were found' "$log" || echo "ctest status $status")"
    [ $status -eq 0 ] || { echo "busy_check: run $run failed, see $log" >&2; exit 1; }
done
