#!/usr/bin/env bash
# Builds the Debian package, installs it, checks what it put in place, removes it and checks
# that it is gone. Needs root for dpkg; skipped (77) otherwise.
set -euo pipefail
build_dir=$1
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "skipped: needs root and dpkg"
    exit 77
fi
if dpkg -s railmux >/dev/null 2>&1; then
    echo "skipped: a railmux package is installed on this machine already"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"; dpkg -r railmux >/dev/null 2>&1 || true' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/railmux_*.deb)
dpkg -i "$deb" >/dev/null

version=$(/usr/bin/railmux --version)
echo "installed: $version"
[[ "$version" == "railmux "* ]]
unit=/usr/lib/systemd/system/railmux@.service
grep -q '^ExecStart=railmux /dev/%I' "$unit"
grep -q '^SupplementaryGroups=dialout' "$unit"
test -f /usr/share/man/man1/railmux.1 -o -f /usr/share/man/man1/railmux.1.gz
test -x /usr/bin/dsair2-sim

dpkg -r railmux >/dev/null
! test -e /usr/bin/railmux
! test -e "$unit"
! test -e /usr/share/man/man1/railmux.1
! dpkg -s railmux >/dev/null 2>&1
echo "package installs and removes cleanly"
