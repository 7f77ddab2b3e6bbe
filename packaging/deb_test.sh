#!/usr/bin/env bash
# The Debian package installs and runs on a fresh Debian: makes the package
# with cpack, unpacks a minimal Debian root (made once with debootstrap and
# kept beside the build folder as a tarball), installs the package there with
# dpkg -i, runs the installed circuit-host on the installed module, and
# removes the package again. Exits 77 (skipped) with the reason where it
# cannot run: not root, no debootstrap, a package for another architecture,
# no Debian archive reachable for the first root.
# Usage: deb_test.sh BUILD-DIR ARCHITECTURE
set -euo pipefail
build=$1 arch=$2
work="$build/packaging/deb-test"
skip() { echo "skipped: $*" >&2; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "installing into a root needs root (chroot, dpkg)"
command -v dpkg >/dev/null || skip "this is no Debian system (no dpkg)"
[ "$arch" = "$(dpkg --print-architecture)" ] ||
    skip "the package is for $arch and this machine's Debian is $(dpkg --print-architecture)"

mkdir -p "$work"
rm -rf "$work/package" "$work/root"
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; echo "cpack failed" >&2; exit 1; }
deb=$(ls "$work/package"/circuit2_*_"$arch".deb)

# The minimal root of this machine's Debian release, from its own archive,
# kept beside the build folder for every build folder there.
. /etc/os-release
tarball="$(dirname "$build")/debian-root-${VERSION_CODENAME:-unknown}-$arch.tar"
if [ ! -f "$tarball" ]; then
    command -v debootstrap >/dev/null || skip "debootstrap is not installed (Debian package debootstrap)"
    mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
    echo "making a minimal $VERSION_CODENAME root from ${mirror:=http://deb.debian.org/debian} (once)" >&2
    if ! debootstrap --variant=minbase "$VERSION_CODENAME" "$work/root" "$mirror" >"$work/debootstrap.log" 2>&1; then
        tail -n 5 "$work/debootstrap.log" >&2
        rm -rf "$work/root"
        skip "debootstrap could not make a root from $mirror (see $work/debootstrap.log)"
    fi
    tar -C "$work/root" --numeric-owner -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$work/root"
fi
mkdir "$work/root"
tar -C "$work/root" --numeric-owner -xf "$tarball"
cp "$deb" "$work/root/tmp/"

# Everything inside runs in a mount namespace of its own with /proc mounted
# (nothing stays mounted when the test ends, however it ends); where the
# machine allows no namespaces (some containers), chroot alone, without /proc.
inside() { unshare --mount --pid --fork --mount-proc="$work/root/proc" chroot "$work/root" "$@"; }
if ! unshare --mount --pid --fork true 2>/dev/null; then
    inside() { chroot "$work/root" "$@"; }
fi
module=/usr/lib/circuit2/circuit2.so
fail() { echo "FAILED: $*" >&2; exit 1; }

inside dpkg -i "/tmp/$(basename "$deb")" || fail "dpkg -i $(basename "$deb")"
version=$(inside circuit-host --version) || fail "circuit-host --version"
echo "$version"
[[ "$version" == "circuit-host "* ]] || fail "circuit-host --version printed '$version'"
for file in /usr/share/man/man1/circuit-host.1 /usr/share/bash-completion/completions/circuit-host "$module"; do
    [ -f "$work/root$file" ] || fail "the package does not install $file"
done
inside circuit-host --entries 0-5 --time-per-entry 20 --trials 20 "$module" ||
    fail "circuit-host on the installed module"
inside dpkg -r circuit2 || fail "dpkg -r circuit2"
[ ! -e "$work/root/usr/bin/circuit-host" ] || fail "dpkg -r left /usr/bin/circuit-host"
rm -rf "$work/root"
echo "installed, ran and removed $(basename "$deb") in a fresh $arch root"
