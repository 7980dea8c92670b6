#!/usr/bin/env bash
# Builds the Debian package into a temporary directory and checks it without installing it: its
# control data, its file list, the files themselves unpacked with dpkg -x, the unpacked programs
# run, and lintian's verdict where lintian is installed. Nothing on the machine changes.
set -euo pipefail
build_dir=$(cd "$1" && pwd)
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
for program in railmux dsair2-sim railmux-drive; do
    check "$program is stripped" bash -c 'file -b "$1" | grep -q ", stripped"' _ \
        "$root/usr/bin/$program"
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

# The unpacked programs run (with the libraries of this machine, which the build used).
check "railmux --version" test "$("$root/usr/bin/railmux" --version)" = "railmux $version"
check "dsair2-sim --help" bash -c '"$1" --help | grep -q "^Usage: dsair2-sim"' _ \
    "$root/usr/bin/dsair2-sim"
check "railmux-drive --help" bash -c '"$1" --help | grep -q "^Usage: railmux-drive"' _ \
    "$root/usr/bin/railmux-drive"

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
