# What scripts/bench, scripts/test and scripts/perf share: the Debian
# packages each purpose needs (one list per purpose, kept only here), their
# installation, the probe for 32-bit programs, and the configure step.
# Sourced, not run; the caller sets `script` to its own name for messages.

# Debian packages, one list per purpose (build, bench, test, perf), each in
# two parts: for every machine, and for x86 machines only (the i686, win32
# and aarch64-linux builds). Names with :i386 are the 32-bit builds'
# libraries; the aarch64 build uses clang with Debian's arm64 cross
# libraries, which install beside gcc-multilib (a gcc cross compiler would
# remove it).
packages_build=(cmake ninja-build g++ googletest python3 nlohmann-json3-dev libseccomp-dev)
packages_build_x86=(gcc-multilib g++-multilib nasm libseccomp-dev:i386)
packages_bench=(libbenchmark-dev libeigen3-dev libopenblas-dev)
packages_bench_x86=(libbenchmark-dev:i386)
# debootstrap: the fresh Debian root the package is installed into;
# dpkg-dev: dpkg-shlibdeps, the package's dependencies.
packages_test=(debootstrap dpkg-dev)
packages_test_x86=(qemu-user mingw-w64 wine wine32:i386
    clang lld libc6-dev-arm64-cross libstdc++-12-dev-arm64-cross binutils-aarch64-linux-gnu)
packages_perf=(util-linux llvm)
packages_perf_x86=()

# 1 once install_packages has installed anything in this run: build folders
# configured before that are configured afresh (configure_preset).
installed_now=0

on_x86() { case "$(uname -m)" in i?86 | x86_64) return 0 ;; *) return 1 ;; esac; }
on_x86_64() { [ "$(uname -m)" = x86_64 ]; }

# The package list of the purposes named (build, bench, test, perf) for this
# machine, one name per line.
packages_for() {
    local purpose p
    for purpose in "$@"; do
        local -n all="packages_${purpose}" x86="packages_${purpose}_x86"
        for p in "${all[@]}"; do echo "$p"; done
        if on_x86; then for p in "${x86[@]}"; do echo "$p"; done; fi
        unset -n all x86
    done
}

# Installs what the purposes named need and is missing (Debian, as root).
# Elsewhere it names what is missing and exits 2; on a system without dpkg
# it leaves the check to the configure step.
install_packages() {
    command -v dpkg-query >/dev/null || return 0
    local p need=()
    while read -r p; do
        [ -n "$p" ] || continue
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
    done < <(packages_for "$@")
    [ ${#need[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "${script}: missing Debian packages: ${need[*]} (run as root to install them)" >&2
        exit 2
    fi
    echo "${script}: installing ${need[*]}" >&2
    if [[ " ${need[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    local log
    log=$(mktemp)
    progress "${script}: installing" "$log" sh -c 'apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"' sh "${need[@]}" ||
        { rm -f "$log"; echo "${script}: installing ${need[*]} failed" >&2; exit 2; }
    rm -f "$log"
    installed_now=1
}

# Does this machine run 32-bit x86 programs? Builds a tiny one and tries it.
runs_32bit() {
    on_x86 || return 1
    local dir status=1
    dir=$(mktemp -d)
    if gcc -m32 -o "$dir/probe" "$root/cmake/run32_probe.c" >/dev/null 2>&1 && "$dir/probe" >/dev/null 2>&1; then
        status=0
    fi
    rm -rf "$dir"
    return $status
}

# Configures a preset with the benchmark required where the preset builds it,
# so that a missing package stops the configure step with its name instead of
# leaving a target out. A build folder is configured afresh when this run
# installed packages or when its cache records a package as not found: a
# cache from before the installation would otherwise keep the old answer.
configure_preset() {
    local preset=$1 cache="$root/build/$1/CMakeCache.txt" args=()
    case "$preset" in portable | i686-linux | x86_64-linux) args+=(-DCIRCUIT_REQUIRE_BENCH=ON) ;; esac
    if [ -f "$cache" ] && { [ "$installed_now" = 1 ] ||
        grep -qE '^[A-Za-z0-9_]+_DIR:PATH=.*-NOTFOUND$' "$cache"; }; then
        args+=(--fresh)
    fi
    (cd "$root" && cmake --preset "$preset" "${args[@]}")
}

# Runs a long command with its output (stdout and stderr) added to LOG, and
# shows on stderr that it is moving: where stderr is a terminal, one line
# rewritten in place with LABEL, the command's latest output line (ninja's
# "[n/m] ..." status while building) and the seconds so far, cleared at the
# end; elsewhere (CI logs) nothing, the caller having said the step. When the
# command fails its log goes to stderr. Returns the command's status.
# Usage: progress LABEL LOG COMMAND...
progress() {
    local label=$1 log=$2 status=0
    shift 2
    if [ ! -t 2 ]; then
        "$@" >>"$log" 2>&1 || status=$?
    else
        local start=$SECONDS width latest="" part="" line fd
        width=$(tput cols 2>/dev/null || echo 80)
        exec {fd}< <("$@" 2>&1; echo "$?" >"$log.status")
        while :; do
            if IFS= read -r -t 1 line <&"$fd"; then
                line=$part$line part=""
                printf '%s\n' "$line" >>"$log"
                latest=$line
            elif [ $? -gt 128 ]; then
                part+=$line # a second without a whole line: keep the part
            else
                break
            fi
            local text="${label} ($((SECONDS - start)) s) ${latest}"
            printf '\r\033[K%s' "${text:0:$((width - 1))}" >&2
        done
        [ -z "$part" ] || printf '%s\n' "$part" >>"$log"
        exec {fd}<&-
        printf '\r\033[K' >&2
        wait $! 2>/dev/null || true
        status=$(cat "$log.status" 2>/dev/null || echo 1)
        rm -f "$log.status"
    fi
    if [ "$status" != 0 ]; then cat "$log" >&2; fi
    return "$status"
}

# Can Wine start a 32-bit Windows program here? First whether Wine's 32-bit
# loader runs at all (instantly, without a prefix: a kernel without 32-bit
# support refuses it with "Exec format error"), then PROGRAM.exe itself with
# ARGS in the Wine prefix PREFIX (created on first use). The answer is kept
# for the rest of the run; on "no", wine_problem says why in a few words.
# Usage: wine_starts PREFIX PROGRAM.exe [ARG...]
wine_checked="" wine_problem=""
wine_starts() {
    if [ -z "$wine_checked" ]; then
        local prefix=$1 out
        shift
        wine_checked=yes
        if ! command -v wine >/dev/null; then
            wine_problem="Wine is not installed"
        elif ! out=$(WINEDEBUG=-all wine --version 2>&1); then
            wine_problem="wine: $(printf '%s\n' "$out" | tail -n 1 | sed 's/^.*: //')"
        else
            mkdir -p "$prefix"
            if ! out=$(WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
                timeout 300 wine "$@" 2>&1); then
                wine_problem="$(basename "$1") did not start under Wine: $(printf '%s\n' "$out" | tail -n 1)"
            fi
        fi
    fi
    [ -z "$wine_problem" ]
}

# circuit-host's usage text: from a host built in this tree that runs here,
# else the option names and values of the option table in host/options.cpp
# (which feeds --help), so that the scripts list the host's options without
# building it (a test keeps the first equal to the built host's --help).
host_usage() {
    local h
    for h in "$root"/build/*/host/circuit-host; do
        # Not a host built before the option table's last change.
        [ -x "$h" ] && [ "$h" -nt "$root/host/options.cpp" ] && "$h" --help 2>/dev/null && return 0
    done
    [ -f "$root/host/options.cpp" ] || return 1
    echo "circuit-host's options (circuit-host --help, once built, says what each does):"
    grep -oE '^ *\{"--[^"]*", ("[^"]*"|nullptr), (true|false),( "|$)' "$root/host/options.cpp" |
        sed -E 's/^ *\{"([^"]*)", ("([^"]*)"|nullptr).*/  \1 \3/; s/ $//'
}

# Whether circuit-host, given these arguments, loads a module: not when it
# prints its usage or version or compares saved runs (it stops reading at
# those); anything after "--" is the module.
host_takes_module() {
    local arg
    for arg in "$@"; do
        case "$arg" in
            --) return 0 ;;
            -h | --help | --version | --compare) return 1 ;;
        esac
    done
    return 0
}
