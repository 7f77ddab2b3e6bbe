# What scripts/bench, scripts/test and scripts/perf share: the Debian
# packages each purpose needs (one list per purpose, kept only here), their
# installation, the probe for 32-bit programs, and the configure step.
# Sourced, not run; the caller sets `script` to its own name for messages.

# Debian packages, one list per purpose (build, bench, test, perf), each in
# two parts: for every machine, and for x86 machines only (the i686 and
# win32 builds). Names with :i386 are the 32-bit builds' libraries.
packages_build=(cmake ninja-build g++ googletest python3 nlohmann-json3-dev)
packages_build_x86=(gcc-multilib g++-multilib nasm)
packages_bench=(libbenchmark-dev libeigen3-dev libopenblas-dev)
packages_bench_x86=(libbenchmark-dev:i386)
packages_test=()
packages_test_x86=(qemu-user mingw-w64 wine wine32:i386)
packages_perf=(util-linux llvm)
packages_perf_x86=()

# 1 once install_packages has installed anything in this run: build folders
# configured before that are configured afresh (configure_preset).
installed_now=0

on_x86() { case "$(uname -m)" in i?86 | x86_64) return 0 ;; *) return 1 ;; esac; }

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
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
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
    case "$preset" in portable | i686-linux) args+=(-DCIRCUIT_REQUIRE_BENCH=ON) ;; esac
    if [ -f "$cache" ] && { [ "$installed_now" = 1 ] ||
        grep -qE '^[A-Za-z0-9_]+_DIR:PATH=.*-NOTFOUND$' "$cache"; }; then
        args+=(--fresh)
    fi
    (cd "$root" && cmake --preset "$preset" "${args[@]}")
}
