#!/usr/bin/env bash
# tools/install-deps against stand-ins for id, dpkg-query, apt-get and sudo on a PATH of their
# own: who installs (root itself, sudo, or nobody, with the line to run printed instead), and
# what counts as missing. Nothing real is installed.
set -euo pipefail
script=$(cd "$(dirname "$0")/.." && pwd)/tools/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

needed="cmake make g++ libboost-dev libboost-system-dev libboost-thread-dev libgtest-dev googletest file dpkg-dev lintian systemd strace"

# stubs/<case>/: bash and env are the real ones, the rest record what they were asked.
make_stubs() {
    local dir=$1 with_sudo=$2
    mkdir -p "$dir"
    ln -s "$(command -v bash)" "$dir/bash"
    ln -s "$(command -v env)" "$dir/env"
    cat >"$dir/id" <<'EOF'
#!/bin/bash
echo "$STUB_UID"
EOF
    # STUB_STATUS: "name=xx ..." for packages not fully installed ("rc": removed, configuration
    # files kept; absent: never installed); every other package reads as installed ("ii").
    cat >"$dir/dpkg-query" <<'EOF'
#!/bin/bash
package=${!#}
for entry in $STUB_STATUS; do
    if [ "${entry%%=*}" = "$package" ]; then
        status=${entry#*=}
        [ "$status" = absent ] && { echo "dpkg-query: no packages found matching $package" >&2; exit 1; }
        printf '%s ' "$status"
        exit 0
    fi
done
printf 'ii '
EOF
    cat >"$dir/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $* [DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-}]" >>"$STUB_LOG"
EOF
    if [ "$with_sudo" = yes ]; then
        cat >"$dir/sudo" <<'EOF'
#!/bin/bash
echo -n "sudo " >>"$STUB_LOG"
exec env -i PATH="$PATH" STUB_LOG="$STUB_LOG" "$@"
EOF
    fi
    # The stand-ins only: bash and env are links to the machine's own.
    chmod +x "$dir/id" "$dir/dpkg-query" "$dir/apt-get"
    [ "$with_sudo" = yes ] && chmod +x "$dir/sudo"
    return 0
}

all_absent() {
    local p out=""
    for p in $needed; do out+="$p=absent "; done
    echo "$out"
}

lock="-o DPkg::Lock::Timeout=600"
# The line a user without root is told to run, up to the packages; only ever compared as text.
to_run="    apt-get update && apt-get"
# name | uid | sudo | package states | arguments | exit code | what apt-get was asked, in order
# ("-" for nothing) | text expected on standard error ("-" for none)
cases=(
    "root installs directly|0|no|$(all_absent)||0|apt-get $lock update -qq [DEBIAN_FRONTEND=];apt-get $lock install -y -qq $needed [DEBIAN_FRONTEND=noninteractive]|-"
    "a user with sudo installs through it|1000|yes|file=absent libboost-dev=absent||0|sudo apt-get $lock update -qq [DEBIAN_FRONTEND=];sudo apt-get $lock install -y -qq libboost-dev file [DEBIAN_FRONTEND=noninteractive]|-"
    "a user without sudo gets the line to run as root|1000|no|file=absent libgtest-dev=absent||1|-|$to_run install -y libgtest-dev file"
    "removed with its configuration kept is missing|1000|no|dpkg-dev=rc||1|-|$to_run install -y dpkg-dev"
    "extras and no recommends|1000|no|libbenchmark-dev=absent|--no-recommends libbenchmark-dev|1|-|$to_run install -y --no-install-recommends libbenchmark-dev"
    "nothing missing asks for nothing|1000|no|||0|-|-"
)

failures=0
n=0
for row in "${cases[@]}"; do
    IFS='|' read -r name uid with_sudo states args code calls err <<<"$row"
    n=$((n + 1))
    stubs="$work/stubs$n"
    make_stubs "$stubs" "$with_sudo"
    log="$work/log$n"
    : >"$log"
    set +e
    # shellcheck disable=SC2086
    env -i PATH="$stubs" STUB_UID="$uid" STUB_STATUS="$states" STUB_LOG="$log" \
        "$script" $args >"$work/out$n" 2>"$work/err$n"
    got=$?
    set -e
    expected_calls=""
    [ "$calls" != "-" ] && expected_calls=$(tr ';' '\n' <<<"$calls")
    problems=()
    [ "$got" = "$code" ] || problems+=("exit code $got, expected $code")
    [ "$(cat "$log")" = "$expected_calls" ] || problems+=("apt-get calls:"$'\n'"$(cat "$log")"$'\n'"expected:"$'\n'"$expected_calls")
    if [ "$err" = "-" ]; then
        [ ! -s "$work/err$n" ] || problems+=("unexpected standard error: $(cat "$work/err$n")")
    else
        grep -qxF -- "$err" "$work/err$n" || problems+=("standard error lacks the line '$err':"$'\n'"$(cat "$work/err$n")")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok: $name"
    else
        failures=$((failures + 1))
        echo "FAILED: $name"
        printf '  %s\n' "${problems[@]}"
    fi
done
[ "$failures" -eq 0 ]
