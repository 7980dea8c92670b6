#!/usr/bin/env bash
# The systemd unit's sandbox against what Railmux does in a session on the simulated station:
# the handshake, track power, a speed and a turnout on the rails, a CV read, the station
# unplugged and plugged in again, and SIGTERM.
#
# Where systemd runs and this is root, Railmux runs under systemd-run with the unit's [Service]
# settings and the session must work. Elsewhere Railmux runs under strace with the unit's
# command line, and every system call, socket family, device and file it uses is held against
# the unit's settings: a call the filter would refuse, a family it does not allow, a device it
# does not list, a file written under ProtectSystem=strict or a mapping both writable and
# executable fails the test.
# Usage: tests/service_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
unit=$(cd "$(dirname "$0")/.." && pwd)/docs/railmux@.service
railmux=$build/railmux
sim=$build/dsair2-sim

if ! command -v systemd-analyze >/dev/null; then
    echo "skipped: systemd-analyze is not installed (tools/install-deps installs systemd)"
    exit 77
fi
under_systemd=no
if [ -d /run/systemd/system ] && [ "$(id -u)" -eq 0 ] && command -v systemd-run >/dev/null; then
    under_systemd=yes
elif ! command -v strace >/dev/null; then
    echo "skipped: no running systemd, and strace is not installed (tools/install-deps installs it)"
    exit 77
fi

# The temporary directory holds the station's link; a service with PrivateTmp= sees its own
# /tmp and nothing of /home, so under systemd it goes to /run, open to the service's own user,
# with a copy of the program.
if [ "$under_systemd" = yes ]; then
    tmp=$(mktemp -d -p /run)
    chmod 0755 "$tmp"
    cp "$railmux" "$tmp/railmux"
    railmux=$tmp/railmux
else
    tmp=$(mktemp -d)
fi
pids=()
service=""
cleanup() {
    [ -n "$service" ] && systemctl stop "$service" 2>/dev/null
    kill_pids
    rm -rf "$tmp"
}
trap cleanup EXIT

source "$(dirname "$0")/support/checks.sh"
finish() {
    if [ "$failed" -ne 0 ]; then
        echo "--- railmux:"
        cat "$tmp/railmux.out" 2>/dev/null
        echo "--- the simulator:"
        cat "$tmp/sim.out" 2>/dev/null
    fi
    echo "service: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# The values of a directive of the unit's [Service] section, one per line, in order.
directive() {  # NAME
    sed -n '/^\[Service\]/,/^\[/p' "$unit" | sed -n "s/^$1=//p"
}

# Environment=NAME=VALUE: the value the unit gives NAME.
unit_env() {  # NAME
    directive Environment | sed -n "s/^$1=//p" | tail -n 1
}

wait_for_line() {  # FILE REGEX SECONDS
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -le $deadline ]; do
        grep -Eq -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

rails_carry() {  # PACKET SECONDS
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -le $deadline ]; do
        [ "$(sed -n 's/^rails: //p' "$tmp/state" 2>/dev/null)" = "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

# --- The simulated station --------------------------------------------------------------------
link=$tmp/DSAIR2
"$sim" --state "$tmp/state" "$link" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
if ! wait_for_line "$tmp/sim.out" '^dsair2-sim: simulated DSAir2 on' 30; then
    fail "the simulator started"
    finish
fi

# The unit's command line with its own defaults; only the port is one that is free here.
listen=$(unit_env RAILMUX_LISTEN)
check "the unit listens on 127.0.0.1 by default (RAILMUX_LISTEN=$listen)" [ "$listen" = 127.0.0.1 ]
port=$(free_port 24009)
command=("$railmux" "$link" "$port" --listen "$listen")

# --- Railmux in the sandbox, or under strace ----------------------------------------------------
if [ "$under_systemd" = yes ]; then
    # The station's pseudo-terminal as a serial device would be: root's, the group dialout's.
    pty=$(readlink -f "$link")
    chown root:dialout "$pty" && chmod 0660 "$pty"
    properties=()
    while IFS= read -r line; do
        name=${line%%=*}
        case "$name" in
        Type | Environment | ExecStart | Restart | RestartSec) continue ;;
        esac
        properties+=(-p "${line//%f/$link}")
    done < <(sed -n '/^\[Service\]/,/^\[/p' "$unit" | grep -E '^[A-Za-z]+=')
    service=railmux-service-test-$$.service
    # --wait: systemd-run ends with the service, with its exit code.
    systemd-run --wait --unit="$service" "${properties[@]}" "${command[@]}" \
        >"$tmp/systemd-run.out" 2>&1 &
    run_pid=$!
    pids+=("$run_pid")
    started() {
        kill -0 "$run_pid" 2>/dev/null || return 1
        journalctl -q -o cat -u "$service" >"$tmp/railmux.out" 2>/dev/null
        grep -q "^TCP server started on port $port" "$tmp/railmux.out"
    }
    stop_railmux() {
        systemctl stop "$service"
        wait "$run_pid"
        local code=$?
        service=""
        [ "$code" -eq 0 ] || cat "$tmp/systemd-run.out"
        [ "$code" -eq 0 ]
    }
else
    trace=$tmp/trace
    strace -f -qq -s 256 -o "$trace" "${command[@]}" >"$tmp/railmux.out" 2>&1 &
    strace_pid=$!
    pids+=("$strace_pid")
    started() { grep -q "^TCP server started on port $port" "$tmp/railmux.out"; }
    stop_railmux() {
        local traced
        traced=$(awk 'NR == 1 {print $1}' "$trace")
        kill -TERM "$traced" && wait "$strace_pid"
    }
fi

deadline=$((SECONDS + 60))
until started; do
    if [ $SECONDS -gt $deadline ]; then
        fail "Railmux started on $link"
        cat "$tmp/systemd-run.out" 2>/dev/null
        finish
    fi
    sleep 0.1
done
pass "Railmux started on $link with the unit's command line"

if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    ask 3 E O
    check "setPower(1) at the station" wait_for_line "$tmp/sim.out" '^setPower\(1\) ' 30
    ask 3 "Q 03 3F 85 B9" O
    check "the speed on the rails" rails_carry "03 3F 85" 30
    ask 3 "S 02 81 F9 78" O
    check "the turnout on the rails" rails_carry "81 F9" 30
    printf 'R 001\r' >&3
    cv=$(reply 3 60)
    after=$(reply 3 30)
    check "CV1 read: CV00103 then P (got '$cv' '$after')" [ "$cv/$after" = "CV00103/P" ]
    # A replugged pseudo-terminal is a new device, which the unit's device list, made at the
    # start, does not hold: under systemd only the real USB classes would.
    if [ "$under_systemd" = no ]; then
        kill -USR1 "$sim_pid"
        check "unplugged: the loss is noticed" \
            wait_for_line "$tmp/railmux.out" '^Lost connection to DSAir2 on ' 30
        kill -USR1 "$sim_pid"
        check "plugged in again: reconnected" \
            wait_for_line "$tmp/railmux.out" '^Reconnected to DSAir2 on ' 60
        ask 3 "Q 03 3F 04 38" O
        check "a speed on the rails after the replug" rails_carry "03 3F 04" 30
    fi
else
    fail "client connected to port $port"
fi
check "SIGTERM: a clean stop with exit code 0" stop_railmux
exec 3>&- 2>/dev/null

if [ "$under_systemd" = yes ]; then
    finish
fi

# --- The trace against the unit's settings ------------------------------------------------------
calls=$tmp/calls
sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$trace" | sort -u >"$calls"
check "system calls traced ($(wc -l <"$calls"))" [ -s "$calls" ]

# A set of system calls as systemd-analyze expands it, with the sets it names, recursively.
expand() {  # NAME (a call, or @set)
    case "$1" in
    @*)
        local member
        systemd-analyze syscall-filter "$1" | tail -n +2 | sed -e 's/^ *//' -e '/^#/d' -e '/^$/d' |
            while read -r member; do expand "$member"; done
        ;;
    *) echo "$1" ;;
    esac
}
# SystemCallFilter=: the first line allows, later "~" lines take away; systemd always allows
# @default and the calls its documentation names.
allowed=$tmp/allowed
{
    expand @default
    printf '%s\n' execve exit exit_group getrlimit rt_sigreturn sigreturn
} | sort -u >"$allowed"
while read -r value; do
    if [[ "$value" == "~"* ]]; then
        for name in ${value#\~}; do expand "$name"; done | sort -u >"$tmp/taken"
        comm -23 "$allowed" "$tmp/taken" >"$tmp/left"
        mv "$tmp/left" "$allowed"
    else
        { cat "$allowed"; for name in $value; do expand "$name"; done; } | sort -u >"$tmp/more"
        mv "$tmp/more" "$allowed"
    fi
done < <(directive SystemCallFilter)
refused=$(comm -23 "$calls" "$allowed" | tr '\n' ' ')
check "every system call passes SystemCallFilter= (refused: ${refused:-none})" [ -z "$refused" ]

families=$(grep -oE '^[0-9]+ +socket\(AF_[A-Z0-9]+' "$trace" | sed 's/.*(//' | sort -u | tr '\n' ' ')
allowed_families=" $(directive RestrictAddressFamilies | tr '\n' ' ') "
outside=""
for family in $families; do
    [[ "$allowed_families" == *" $family "* ]] || outside+="$family "
done
check "socket families ${families}within RestrictAddressFamilies=" [ -z "$outside" ]

# Opened by path: devices and files. DevicePolicy=closed lets these through besides DeviceAllow=.
opened=$(grep -E '^[0-9]+ +(openat|open)\(' "$trace" | grep -v ' = -1 ' | grep -v O_DIRECTORY |
    sed -nE 's/^[0-9]+ +open(at)?\((AT_FDCWD, )?"([^"]*)", ([A-Z_|]+).*/\3 \4/p' | sort -u)
devices=""
written=""
while read -r path flags; do
    [ -n "$path" ] || continue
    case "$path" in
    "$link" | /dev/null | /dev/zero | /dev/full | /dev/random | /dev/urandom | /dev/tty | /dev/ptmx)
        continue ;;
    /dev/*) devices+="$path " ;;
    esac
    case "$flags" in
    *O_WRONLY* | *O_RDWR* | *O_CREAT* | *O_TRUNC* | *O_APPEND*)
        case "$path" in
        /tmp/* | /var/tmp/*) ;;
        *) written+="$path " ;;
        esac
        ;;
    esac
done <<<"$opened"
check "the station opened by its path" grep -qE "^$link O_RDWR" <<<"$opened"
check "no device but the station's opened (others: ${devices:-none})" [ -z "$devices" ]
check "no file opened for writing (written: ${written:-none})" [ -z "$written" ]
changed=$(grep -oE '^[0-9]+ +(mkdir|mkdirat|unlink|unlinkat|rename|renameat2?|symlink|symlinkat|link|linkat|chmod|fchmodat|chown|fchownat|truncate|mknod|mknodat)\(' \
    "$trace" | sed -E 's/^[0-9]+ +//; s/\($//' | sort -u | tr '\n' ' ')
check "no file system change (calls: ${changed:-none})" [ -z "$changed" ]

wx=$(grep -E '^[0-9]+ +(mmap|mprotect|pkey_mprotect)\(' "$trace" | grep -E 'PROT_WRITE' |
    grep -c 'PROT_EXEC')
check "no mapping both writable and executable ($wx)" [ "$wx" -eq 0 ]
namespaces=$(grep -E '^[0-9]+ +(clone|clone3|unshare|setns)\(' "$trace" | grep -c 'CLONE_NEW')
check "no namespace made ($namespaces)" [ "$namespaces" -eq 0 ]
check "listens on 127.0.0.1" grep -Eq '^[0-9]+ +bind\(.*inet_addr\("127\.0\.0\.1"\)' "$trace"
finish
