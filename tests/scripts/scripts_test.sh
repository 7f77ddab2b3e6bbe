#!/usr/bin/env bash
# The scripts' own behaviour that a change can break unnoticed: scripts/bench
# --help answers at once without installing or building anything, and lists
# the host's options as the built host prints them; which host arguments take
# the module; the Wine probe's answers; the progress wrapper's log and status.
# Usage: scripts_test.sh SOURCE_DIR CIRCUIT_HOST
set -u
root=$1 host=$2 script=scripts_test
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Stand-ins for every program that installs, builds or starts Wine: each
# call is written to calls.log, which --help must leave empty.
mkdir "$tmp/stubs"
for p in cmake ninja apt-get dpkg-query dpkg gcc wine qemu-i386; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls.log"\nexit 1\n' "$p" "$tmp" >"$tmp/stubs/$p"
    chmod +x "$tmp/stubs/$p"
done
# "At once" is what the stand-ins log, not a stopwatch (a busy machine can
# take seconds to start bash); the timeout only ends a --help that waits.
for args in "--help" "--build win32 --help" "--build nonsuch -h" "--all --help --seed 1"; do
    # shellcheck disable=SC2086
    out=$(PATH="$tmp/stubs:$PATH" timeout 60 bash "$root/scripts/bench" $args 2>&1)
    status=$?
    [ $status -eq 0 ] || fail "bench $args: exit $status"
    [[ $out == *"Usage: scripts/bench"*"--compare RUN.json..."* ]] || fail "bench $args: usage incomplete: $out"
done
[ ! -s "$tmp/calls.log" ] || fail "bench --help ran: $(tr '\n' ';' <"$tmp/calls.log")"

# shellcheck source=../../scripts/common.sh
. "$root/scripts/common.sh"
[ "$(host_usage)" = "$("$host" --help)" ] || fail "host_usage differs from circuit-host --help"

# Arguments, and whether the host then takes the module (1) or not (0).
while read -r want args; do
    # shellcheck disable=SC2086
    if host_takes_module $args; then got=1; else got=0; fi
    [ "$got" = "$want" ] || fail "host_takes_module $args: $got, not $want"
done <<'CASES'
1 --all --seed 42
1
0 --compare a.json b.json
0 --svg c.svg --compare a.json
0 --version
0 --entries 1 --help
1 -- --compare
CASES

# The Wine probe: Wine missing; a kernel that refuses Wine's 32-bit loader
# (asked once per run); a Wine that starts the program.
wine_checked="" && (PATH="$tmp/none" wine_starts "$tmp/prefix" probe.exe) && fail "wine_starts without Wine"
PATH="$tmp/none" wine_starts "$tmp/prefix" probe.exe
[ "$wine_problem" = "Wine is not installed" ] || fail "no Wine: '$wine_problem'"
printf '#!/bin/sh\necho x >>"%s/refused.log"\necho "/usr/lib/wine/wine: Exec format error" >&2\nexit 126\n' "$tmp" >"$tmp/stubs/wine"
wine_checked="" wine_problem=""
for _ in 1 2; do PATH="$tmp/stubs:$PATH" wine_starts "$tmp/prefix" probe.exe && fail "wine_starts with a refused loader"; done
[ "$wine_problem" = "wine: Exec format error" ] || fail "refused loader: '$wine_problem'"
[ "$(wc -l <"$tmp/refused.log")" = 1 ] || fail "wine probed more than once in a run"
printf '#!/bin/sh\nexit 0\n' >"$tmp/stubs/wine"
wine_checked="" wine_problem=""
PATH="$tmp/stubs:$PATH" wine_starts "$tmp/prefix" probe.exe || fail "wine_starts with a working Wine: $wine_problem"

# progress where stderr is no terminal: output into the log, nothing on
# stderr, the status passed on; a failure shows the log.
err=$(progress label "$tmp/ok.log" sh -c 'echo one; echo two >&2' 2>&1)
[ -z "$err" ] && [ "$(cat "$tmp/ok.log")" = "$(printf 'one\ntwo')" ] || fail "progress ok: '$err'"
err=$(progress label "$tmp/bad.log" sh -c 'echo broken; exit 3' 2>&1)
status=$?
[ $status -eq 3 ] && [ "$err" = broken ] || fail "progress failing: status $status, '$err'"

[ $failures -eq 0 ] && echo "all script checks passed"
exit $((failures > 0))
