#!/usr/bin/env bash
# Builds the Debian package into a temporary directory and checks it without installing it: its
# control data, its file list, the files themselves unpacked with dpkg -x, the unpacked programs
# run, the systemd unit's exposure where systemd-analyze is installed, and lintian's verdict
# where lintian is installed. Nothing on the machine changes.
# Usage: tests/package_test.sh BUILD_DIR [EMULATOR...]
#   EMULATOR: how a cross build's programs run here (qemu-aarch64 -L SYSROOT)
set -euo pipefail
build_dir=$(cd "$1" && pwd)
shift
emulator=("$@")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
for tool in cpack dpkg-deb file; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (tools/install-deps installs it)"
        exit 77
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

(cd "$build_dir" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"
    exit 1
}
debs=("$work"/out/railmux_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || {
    echo "expected one railmux_*.deb, found: ${debs[*]}"
    exit 1
}
deb=${debs[0]}

# Control data.
dpkg-deb --field "$deb" >"$work/control"
field() { sed -n "s/^$1: //p" "$work/control"; }
version=$(sed -n 's/^project(railmux VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
check "package name and version" test "$(field Package) $(field Version)" = "railmux $version"
check "maintainer with a real mail host" \
    bash -c '[[ "$1" =~ \<[^@\>]+@[a-z0-9.-]+\.[a-z]+\>$ ]] && [[ "$1" != *localhost* ]]' _ \
    "$(field Maintainer)"
check "extended description" test "$(dpkg-deb --info "$deb" | sed -n '/^ Description:/,$p' | wc -l)" -gt 3
check "depends on the Boost libraries it links" \
    bash -c 'grep -q "^Depends:.*libboost-thread" "$1"' _ "$work/control"
check "depends on the C and C++ libraries" \
    bash -c 'grep -q "^Depends:.*libc6 (>= .*libstdc++6 (>= " "$1"' _ "$work/control"
arch=$(field Architecture)

# File list.
dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
for path in ./usr/bin/railmux ./usr/bin/dsair2-sim ./usr/bin/railmux-drive \
    ./usr/share/man/man1/railmux.1.gz ./usr/share/man/man1/dsair2-sim.1.gz \
    ./usr/share/man/man1/railmux-drive.1.gz ./usr/share/doc/railmux/copyright \
    ./usr/share/doc/railmux/changelog.gz ./usr/share/doc/railmux/examples/99-dsair2.rules \
    ./usr/lib/systemd/system/railmux@.service; do
    check "ships $path" grep -qxF "$path" "$work/contents"
done
check "nothing outside /usr" bash -c '! grep -vE "^\./$|^\./usr(/|$)" "$1"' _ "$work/contents"

# The files themselves.
root=$work/root
dpkg -x "$deb" "$root"
# The programs are of the package's architecture: its machine and its C library's loader.
case "$arch" in
amd64) machine="x86-64" loader=/lib64/ld-linux-x86-64.so.2 ;;
arm64) machine="ARM aarch64" loader=/lib/ld-linux-aarch64.so.1 ;;
armhf) machine="ARM, EABI5" loader=/lib/ld-linux-armhf.so.3 ;;
*) machine="" loader="" ;;
esac
for program in railmux dsair2-sim railmux-drive; do
    description=$(file -b "$root/usr/bin/$program")
    check "$program is stripped" bash -c '[[ "$1" == *", stripped"* ]]' _ "$description"
    check "$program is built for $arch" \
        bash -c '[ -n "$2" ] && [[ "$1" == *", $2"[,\ ]* && "$1" == *"interpreter $3,"* ]]' _ \
        "$description" "$machine" "$loader"
done
for page in railmux dsair2-sim railmux-drive; do
    gz=$root/usr/share/man/man1/$page.1.gz
    check "$page.1 is a valid gzip file" gzip -t "$gz"
    # .TH NAME SECTION DATE ...: the date must be one a program can read (YYYY-MM-DD).
    date=$(gzip -dc "$gz" | awk '/^\.TH/ {print $4; exit}' | tr -d '"')
    check "$page.1 date '$date' parses" bash -c '[[ "$1" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] &&
        date -d "$1" >/dev/null 2>&1' _ "$date"
    for section in EXAMPLES DIAGNOSTICS "EXIT STATUS"; do
        check "$page.1 has $section" bash -c 'gzip -dc "$1" | grep -qx "\.SH \"\?$2\"\?"' _ "$gz" \
            "$section"
    done
done
check "changelog names this version" \
    bash -c 'gzip -dc "$1" | head -1 | grep -q "^railmux ($2)"' _ \
    "$root/usr/share/doc/railmux/changelog.gz" "$version"
unit=$root/usr/lib/systemd/system/railmux@.service
check "unit runs railmux on the instance's path" \
    grep -qx 'ExecStart=railmux %f ${RAILMUX_PORT} --listen ${RAILMUX_LISTEN}' "$unit"
check "unit gives the dialout group" grep -qx 'SupplementaryGroups=dialout' "$unit"
if command -v systemd-analyze >/dev/null; then
    # The unit as an instance for a USB adapter, looked at without a running systemd; every
    # warning about it (an unknown directive, a bad value) counts as a fault too.
    units=$work/units
    mkdir -p "$units"
    cp "$unit" "$units/"
    instance=railmux@dev-ttyUSB0.service
    SYSTEMD_UNIT_PATH="$units:" systemd-analyze security --offline=true --no-pager "$instance" \
        >"$work/security" 2>"$work/security.err" || true
    exposure=$(sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' "$work/security")
    echo "systemd-analyze security: $(grep '^→ Overall' "$work/security")"
    check "unit's exposure '$exposure' is 2.0 or below" \
        bash -c '[[ "$1" =~ ^[0-9]+\.[0-9]$ ]] && [ "${1/./}" -le 20 ]' _ "$exposure"
    check "unit read without a warning" test ! -s "$work/security.err"
    if [ -s "$work/security.err" ]; then cat "$work/security.err"; fi
else
    echo "systemd-analyze is not installed: the unit's exposure not checked"
fi

# The unpacked programs run (natively with the libraries of this machine, which the build used;
# a cross build's under its emulator with the target's).
run() { "${emulator[@]}" "$@"; }
check "railmux --version" test "$(run "$root/usr/bin/railmux" --version)" = "railmux $version"
check "dsair2-sim --help" bash -c '"${@:2}" "$1" --help | grep -q "^Usage: dsair2-sim"' _ \
    "$root/usr/bin/dsair2-sim" "${emulator[@]}"
check "railmux-drive --help" bash -c '"${@:2}" "$1" --help | grep -q "^Usage: railmux-drive"' _ \
    "$root/usr/bin/railmux-drive" "${emulator[@]}"

if command -v lintian >/dev/null; then
    # Warnings count: the ones that are justified are overridden in the package itself.
    if lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1; then
        echo "ok: lintian"
    else
        echo "FAILED: lintian"
        failures=$((failures + 1))
    fi
    cat "$work/lintian"
else
    echo "lintian is not installed: not run"
fi

[ "$failures" -eq 0 ]
