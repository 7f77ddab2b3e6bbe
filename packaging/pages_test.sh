#!/usr/bin/env bash
# The generated pages against the host they describe.
#   pages_test.sh man HOST... MAN-PAGE     the manual's options (name and value)
#                                          are --help's, in its order
#   pages_test.sh completion COMPLETION    what the completion offers, row by row
# HOST... is the command that runs circuit-host (an emulator prefix first).
set -euo pipefail
mode=$1
shift

if [ "$mode" = man ]; then
    page=${*: -1}
    set -- "${@:1:$#-1}"
    help=$("$@" --help | awk '/^  -/ { print $1 ($2 ~ /^[A-Z]/ ? " " $2 : "") }')
    man=$(awk '/^\.SH/ { options = $2 == "OPTIONS" } options && previous == ".TP" { print } { previous = $0 }' "$page" | sed 's/\\-/-/g; s/\\f[BIR]//g; s/\\e/\\/g')
    [ -n "$help" ] || { echo "FAILED: no options found in --help" >&2; exit 1; }
    if [ "$help" != "$man" ]; then
        echo "FAILED: the manual's options differ from --help's (< --help, > manual):" >&2
        diff <(echo "$help") <(echo "$man") >&2 || true
        exit 1
    fi
    echo "the manual lists the $(echo "$help" | wc -l) options of --help"
    exit 0
fi

# Completion: in a folder with a saved run, a module, another file and a
# folder, each row's command line (the word being completed last, possibly
# empty) against what it offers, sorted.
# shellcheck disable=SC1090
. "$1"
cd "$(mktemp -d)"
touch run.json circuit2.so notes.txt
mkdir runs
rows=(
    "circuit-host --ent|--entries"
    "circuit-host --problem |circuit2.so notes.txt run.json runs"
    "circuit-host --seed |"
    "circuit-host |circuit2.so runs"
    "circuit-host --all --compare old.json |run.json runs"
    "scripts/bench --build i|i686-linux"
    "scripts/bench --bu|--build"
    "scripts/bench --svg |circuit2.so notes.txt run.json runs"
    "scripts/bench --all |circuit2.so runs"
)
failed=0
for row in "${rows[@]}"; do
    line=${row%%|*} want=${row#*|}
    read -r -a COMP_WORDS <<<"$line"
    [[ "$line" == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    case "${COMP_WORDS[0]}" in scripts/bench) _circuit_bench ;; *) _circuit_host ;; esac
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" != "$want" ]; then
        echo "FAILED: '$line' offers '$got', expected '$want'" >&2
        failed=1
    fi
done
rm -rf "$PWD"
[ $failed = 0 ] && echo "${#rows[@]} completion rows pass"
exit $failed
