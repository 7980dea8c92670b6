#!/usr/bin/env bash
# Smoke test of a Raspberry Pi cross build under qemu-user: the target's railmux against the
# native simulated DSAir2 on a pseudo-terminal, and a client on loopback. What reaches the
# simulated rails is compared with the client's packets byte for byte (but the check byte, which
# the rails' own framing adds).
# Usage: tests/pi_smoke_test.sh CROSS_BUILD LINUX_BUILD
#   CROSS_BUILD holds the target's railmux and its sysroot (make pi-arm64, make pi-armhf),
#   LINUX_BUILD holds the native dsair2-sim.
set -uo pipefail

cross=$(cd "${1:?usage: $0 CROSS_BUILD LINUX_BUILD}" && pwd)
linux=$(cd "${2:?usage: $0 CROSS_BUILD LINUX_BUILD}" && pwd)
sim="$linux/dsair2-sim"
arch=$(sed -n 's/^RAILMUX_TARGET_ARCH:INTERNAL=//p' "$cross/CMakeCache.txt")
# The emulator as the build runs its tests: qemu-ARCH -L SYSROOT.
read -r -a emulator < <(sed -n 's/^RAILMUX_TARGET_EMULATOR:INTERNAL=//p' \
    "$cross/CMakeCache.txt" | tr ';' ' ')
[ ${#emulator[@]} -gt 0 ] || { echo "$cross is not a cross build" >&2; exit 1; }
railmux=("${emulator[@]}" "$cross/railmux")
version=$(sed -n 's/^project(railmux VERSION \([0-9.]*\).*/\1/p' \
    "$(dirname "$0")/../CMakeLists.txt")

tmp=$(mktemp -d)
pids=()
cleanup() {
    kill_pids
    rm -rf "$tmp"
}
trap cleanup EXIT

source "$(dirname "$0")/support/checks.sh"
finish() {
    if [ "$failed" -ne 0 ]; then
        echo "--- railmux ($arch):"
        cat "$tmp/railmux.out" "$tmp/railmux.err" 2>/dev/null
        echo "--- the simulator:"
        cat "$tmp/sim.out" 2>/dev/null
    fi
    echo "$arch: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

has() {  # FILE REGEX
    grep -Eq -- "$2" "$1" 2>/dev/null
}

count() {  # FILE REGEX: the number of lines matching
    local n
    n=$(grep -Ec -- "$2" "$1" 2>/dev/null)
    echo "${n:-0}"
}

# Waits up to SECONDS for FILE to hold at least N lines matching the extended regular
# expression; the process PID, if given, must not end meanwhile.
wait_for_lines() {  # FILE REGEX N SECONDS [PID]
    local deadline=$((SECONDS + $4))
    while [ $SECONDS -le $deadline ]; do
        [ "$(count "$1" "$2")" -ge "$3" ] && return 0
        if [ -n "${5:-}" ] && ! kill -0 "$5" 2>/dev/null; then
            [ "$(count "$1" "$2")" -ge "$3" ]
            return
        fi
        sleep 0.05
    done
    return 1
}

wait_for_line() {  # FILE REGEX SECONDS [PID]
    wait_for_lines "$1" "$2" 1 "$3" "${4:-}"
}

# The packet of the simulated station's latest command, without its check byte (the state file's
# "rails:" line).
rails() {
    sed -n 's/^rails: //p' "$state" 2>/dev/null
}

# Waits up to SECONDS for the rails to carry PACKET (hex pairs) for the latest command.
rails_carry() {  # PACKET SECONDS
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -le $deadline ]; do
        [ "$(rails)" = "$1" ] && return 0
        sleep 0.05
    done
    echo "  the rails carry '$(rails)', expected '$1'"
    return 1
}

# --- Command line -----------------------------------------------------------------------------
out=$("${railmux[@]}" --version 2>&1)
code=$?
check "--version: exit code 0 (got $code)" [ "$code" -eq 0 ]
check "--version: 'railmux $version' (got '$out')" [ "$out" = "railmux $version" ]

"${railmux[@]}" >"$tmp/usage.out" 2>&1
code=$?
check "no argument: exit code 0 (got $code)" [ "$code" -eq 0 ]
check "no argument: the usage text" has "$tmp/usage.out" '^Usage : Railmux ComPort \[TCPPort\]$'

"${railmux[@]}" /dev/null 99 >"$tmp/invalid.out" 2>"$tmp/invalid.err"
code=$?
check "TCP port 99: exit code 1 (got $code)" [ "$code" -eq 1 ]
check "TCP port 99: the message" has "$tmp/invalid.err" '^Invalid port number : 99\. Use 1024-65535\.$'

# Past 32 bits: a long of 32 bits must not wrap it into the valid range.
"${railmux[@]}" /dev/null 4294978305 >"$tmp/wide.out" 2>"$tmp/wide.err"
code=$?
check "TCP port 2^32 + 11009: exit code 1 (got $code)" [ "$code" -eq 1 ]

"${railmux[@]}" --bogus /dev/null >"$tmp/bad.out" 2>"$tmp/bad.err"
code=$?
check "unknown option: exit code 2 (got $code)" [ "$code" -eq 2 ]
check "unknown option: the usage on standard error" has "$tmp/bad.err" '^Usage : Railmux'

# --- The station on a pseudo-terminal ---------------------------------------------------------
link="$tmp/DSAIR2"
state="$tmp/state"
"$sim" --state "$state" "$link" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
if ! wait_for_line "$tmp/sim.out" '^dsair2-sim: simulated DSAir2 on' 30 "$sim_pid"; then
    fail "the simulator started"
    finish
fi

port=$(free_port 23009)
"${railmux[@]}" "$link" "$port" --listen 127.0.0.1 >"$tmp/railmux.out" 2>"$tmp/railmux.err" &
railmux_pid=$!
pids+=("$railmux_pid")
if ! wait_for_line "$tmp/railmux.out" "^TCP server started on port $port" 60 "$railmux_pid"; then
    fail "railmux started on $link"
    finish
fi
check "handshake: a ping answered by the station" has "$tmp/railmux.out" '^\[D Recv\] @DSG,'
check "no start-up failure" [ ! -s "$tmp/railmux.err" ]

if ! exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    fail "client connected to port $port"
    finish
fi
ask 3 E O
check "setPower(1) at the station" wait_for_line "$tmp/sim.out" '^setPower\(1\) ' 30

# Locomotive 3, forward, 128-step speed step 4; then long address 1234 in reverse, step 126.
ask 3 "Q 03 3F 85 B9" O
check "Q 03 3F 85 B9 on the rails" rails_carry "03 3F 85" 30
ask 3 "Q C4 D2 3F 7F 56" O
check "Q C4 D2 3F 7F 56 on the rails" rails_carry "C4 D2 3F 7F" 30

# Turnout: accessory decoder 1, output 1 (pair 0), thrown; then decoder 300, pair 3, straight.
ask 3 "S 02 81 F9 78" O
check "S 02 81 F9 78 on the rails" rails_carry "81 F9" 30
ask 3 "S 02 AC BE 12" O
check "S 02 AC BE 12 on the rails" rails_carry "AC BE" 30

printf 'R 001\r' >&3
cv=$(reply 3 60)
after=$(reply 3 30)
check "CV1 read: CV00103 then P (got '$cv' '$after')" [ "$cv/$after" = "CV00103/P" ]

# --- Unplugged and plugged in again -----------------------------------------------------------
kill -USR1 "$sim_pid"
check "unplugged: the loss is noticed" \
    wait_for_line "$tmp/railmux.out" "^Lost connection to DSAir2 on " 30 "$railmux_pid"
ask 3 E O
kill -USR1 "$sim_pid"
check "plugged in again: reconnected" \
    wait_for_line "$tmp/railmux.out" "^Reconnected to DSAir2 on " 60 "$railmux_pid"
# The station came back without its locomotives: the newest wish goes out to it by itself.
check "locomotive 1234 driven afresh on the station that is back" \
    wait_for_lines "$tmp/sim.out" '^setLocoSpeed\(50386,' 2 30
ask 3 "Q 03 3F 04 38" O
check "Q 03 3F 04 38 on the rails after the replug" rails_carry "03 3F 04" 30

# --- SIGTERM ----------------------------------------------------------------------------------
start=$EPOCHREALTIME
kill -TERM "$railmux_pid"
# A watchdog instead of a poll, so the time measured is the exit's own.
(sleep 30 && kill -KILL "$railmux_pid" 2>/dev/null) &
watchdog=$!
wait "$railmux_pid"
code=$?
end=$EPOCHREALTIME
kill "$watchdog" 2>/dev/null
wait "$watchdog" 2>/dev/null
ms=$(((${end/./} - ${start/./}) / 1000))
echo "     SIGTERM to exit: $ms ms under qemu-user"
check "SIGTERM: exit code 0 (got $code)" [ "$code" -eq 0 ]
# Railmux ends within 1 s; emulation on a busy machine is given 5.
check "SIGTERM: ended within 5 s under emulation (took $ms ms)" [ "$ms" -lt 5000 ]
exec 3>&- 2>/dev/null
finish
