#!/bin/sh
# Runs a 32-bit Windows test program under Wine, with a Wine prefix of its own
# inside the build folder. Exits 77 (reported as skipped by CTest) when this
# machine cannot run 32-bit Windows programs at all, which a trivial probe
# program shows first.
# Usage: run_wine.sh PREFIX_DIR PROBE.exe PROGRAM.exe [ARG...]
set -u
prefix=$1 probe=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
wine=$(command -v wine || true)
if [ -z "$wine" ]; then
    echo "skipped: wine is not installed"
    exit 77
fi
if ! timeout 300 "$wine" "$probe" >"$prefix/probe.log" 2>&1; then
    echo "skipped: 32-bit Windows programs cannot start under Wine on this machine:"
    tail -n 3 "$prefix/probe.log"
    exit 77
fi
exec timeout 600 "$wine" "$@"
