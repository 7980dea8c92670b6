#!/usr/bin/env bash
# Smoke test of the Windows program under Wine: railmux.exe against the simulated DSAir2, which
# Wine serves as a COM port, and a client on loopback.
# Usage: tests/windows_smoke_test.sh WINDOWS_BUILD LINUX_BUILD
#   WINDOWS_BUILD holds railmux.exe (and gets the Wine prefix), LINUX_BUILD holds dsair2-sim.
#
# Everything Wine writes stays in WINDOWS_BUILD/wine (prefix, home, caches) and in the temporary
# directory of the run; the Wine server of the prefix is ended on the way out.
set -uo pipefail

win=$(cd "${1:?usage: $0 WINDOWS_BUILD LINUX_BUILD}" && pwd)
linux=$(cd "${2:?usage: $0 WINDOWS_BUILD LINUX_BUILD}" && pwd)
exe="$win/railmux.exe"
sim="$linux/dsair2-sim"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[ -x "$wine" ] || { echo "wine64 is missing (make windows-test installs it)" >&2; exit 1; }

# The station's COM port. Wine lists it among the machine's ports (the registry's SERIALCOMM
# key) because the prefix names it; its device is the simulator's link.
com=COM7
missing=COM8
refused=COM9
link="$win/wine/$com-station"

root="$win/wine"
export WINEPREFIX="$root/prefix" WINESERVER="$wineserver" WINEDEBUG=-all
# No Mono or Gecko installers, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config" XDG_DATA_HOME="$root/home/.local/share"
export XDG_CACHE_HOME="$root/home/.cache" FONTCONFIG_FILE="$root/fonts.conf"
unset DISPLAY WAYLAND_DISPLAY

tmp=$(mktemp -d)
# Wine's server keeps its socket in a directory of TMPDIR: this run's, removed at the end.
export TMPDIR="$tmp"
pids=()
cleanup() {
    kill_pids
    "$wineserver" -k 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/${com,,}" "$WINEPREFIX/dosdevices/${refused,,}" "$link"
    rm -rf "$tmp"
}
trap cleanup EXIT

source "$(dirname "$0")/support/checks.sh"
finish() {
    echo "windows: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# FILE has a line matching the extended regular expression (Windows line ends taken as Unix ones).
has() {  # FILE REGEX
    tr -d '\r' 2>/dev/null <"$1" | grep -Eq -- "$2"
}

lacks() {  # FILE REGEX
    ! has "$@"
}

# Waits up to SECONDS for FILE to hold a line matching the extended regular expression; the
# process PID, if given, must not end meanwhile.
wait_for_line() {  # FILE REGEX SECONDS [PID]
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -le $deadline ]; do
        has "$1" "$2" && return 0
        if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then
            has "$1" "$2"
            return
        fi
        sleep 0.1
    done
    return 1
}

# Waits up to SECONDS for PID to end; its exit code, or 124 if it did not end.
wait_exit() {  # PID SECONDS
    local deadline=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null; do
        [ $SECONDS -le $deadline ] || return 124
        sleep 0.1
    done
    wait "$1"
}

# A port that cannot be opened: the program says why on standard error, serves the client all
# the same and stops on Ctrl-C.
unopened() {  # PORT DESCRIPTION REASON-REGEX
    local name=$1 what=$2 before=$failed tcp
    tcp=$(free_port $((port + 1)))
    "$wine" "$exe" "$name" "$tcp" >"$tmp/$name.out" 2>"$tmp/$name.err" &
    local pid=$!
    pids+=("$pid")
    if ! wait_for_line "$tmp/$name.out" "^TCP server started on port $tcp" 60 "$pid"; then
        cat "$tmp/$name.out" "$tmp/$name.err"
        fail "railmux.exe started on $name ($what)"
        return
    fi
    check "$name ($what): the failure" has "$tmp/$name.err" \
        "^Failed to connect to DSAir2 on $name\\.$"
    check "$name ($what): the reason" has "$tmp/$name.err" \
        '^  Could not open \\\\\.\\'"$name: $3"
    kill -INT "$pid"
    wait_exit "$pid" 60
    local code=$?
    check "$name ($what): Ctrl-C, exit code 0 (got $code)" [ "$code" -eq 0 ]
    [ "$failed" -eq "$before" ] || cat "$tmp/$name.out" "$tmp/$name.err"
}

# --- The prefix, made once and kept with the build --------------------------------------------
mkdir -p "$HOME" "$XDG_CACHE_HOME"
# Wine's font set-up would otherwise write the system's font cache: no fonts, a cache of its own.
printf '<?xml version="1.0"?>\n<fontconfig><cachedir>%s</cachedir></fontconfig>\n' \
    "$XDG_CACHE_HOME/fontconfig" >"$FONTCONFIG_FILE"
if [ ! -f "$root/prefix.done" ]; then
    echo "Making the Wine prefix in $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    "$wine" wineboot --init >"$tmp/wineboot.log" 2>&1 &&
        "$wine" reg add 'HKLM\Software\Wine\Ports' /v "$com" /d "$link" /f \
            >>"$tmp/wineboot.log" 2>&1 &&
        "$wineserver" -w
    if [ $? -ne 0 ]; then
        cat "$tmp/wineboot.log"
        fail "Wine prefix made"
        finish
    fi
    touch "$root/prefix.done"
fi

# --- Command line -----------------------------------------------------------------------------
"$wine" "$exe" >"$tmp/usage.out" 2>&1
code=$?
check "no argument: exit code 0 (got $code)" [ "$code" -eq 0 ]
check "no argument: the usage text" has "$tmp/usage.out" '^Usage : Railmux ComPort \[TCPPort\]$'

"$wine" "$exe" "$com" 99 >"$tmp/invalid.out" 2>"$tmp/invalid.err"
code=$?
check "TCP port 99: exit code 1 (got $code)" [ "$code" -eq 1 ]
check "TCP port 99: the message" has "$tmp/invalid.err" '^Invalid port number : 99\. Use 1024-65535\.$'

# --- The station on a COM port ----------------------------------------------------------------
"$sim" "$link" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
if ! wait_for_line "$tmp/sim.out" '^dsair2-sim: simulated DSAir2 on' 30 "$sim_pid"; then
    cat "$tmp/sim.out"
    fail "the simulator started"
    finish
fi
ln -sfn "$link" "$WINEPREFIX/dosdevices/${com,,}"

port=$(free_port 21009)
"$wine" "$exe" "${com,,}" "$port" >"$tmp/railmux.out" 2>"$tmp/railmux.err" &
railmux=$!
pids+=("$railmux")
if ! wait_for_line "$tmp/railmux.out" "^TCP server started on port $port" 60 "$railmux"; then
    cat "$tmp/railmux.out" "$tmp/railmux.err"
    fail "railmux.exe started on ${com,,}"
    finish
fi
check "handshake with the station on $com" has "$tmp/railmux.out" '^\[D Send\] setPing\(\)$'
check "no start-up failure" lacks "$tmp/railmux.err" 'Failed'


if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    printf 'E\r' >&3
    check "E is answered O" [ "$(reply 3 30)" = "O" ]
    check "setPower(1) at the station" \
        wait_for_line "$tmp/sim.out" '^setPower\(1\) .*track power ON' 30

    # Locomotive 3, forward, 128-step speed 4.
    printf 'Q 03 3F 85 B9\r' >&3
    check "speed packet is answered O" [ "$(reply 3 30)" = "O" ]
    check "setLocoSpeed(49155,...) at the station" \
        wait_for_line "$tmp/sim.out" '^setLocoSpeed\(49155,[0-9,]+\)' 30

    printf 'R 001\r' >&3
    cv=$(reply 3 60)
    after=$(reply 3 30)
    check "CV1 read: CV00103 then P (got '$cv' '$after')" [ "$cv/$after" = "CV00103/P" ]
else
    fail "client connected to port $port"
fi

# One server per port: a second railmux.exe on the port the first one serves must not bind it
# (Windows would let it, with SO_REUSEADDR, and hand it the application's next connection).
# WSAEACCES is what Windows answers a bind to a port held for exclusive use.
before=$failed
"$wine" "$exe" "$missing" "$port" >"$tmp/second.out" 2>"$tmp/second.err" &
second=$!
pids+=("$second")
wait_exit "$second" 60
code=$?
check "second railmux.exe on port $port: exit code 3 (got $code)" [ "$code" -eq 3 ]
check "second railmux.exe on port $port: the failure" has "$tmp/second.err" \
    "^Failed to start TCP server on port $port, error code 10013\\.$"
check "second railmux.exe on port $port: no server started" lacks "$tmp/second.out" \
    '^TCP server started'
[ "$failed" -eq "$before" ] || cat "$tmp/second.out" "$tmp/second.err"

# A port that does not exist: the system's reason, and the ports that do exist.
unopened "$missing" "missing" \
    '.+ \(error 2\)\. COM ports present: (COM[0-9]+, )*'"$com"'(, COM[0-9]+)*\.$'
# A port the system refuses to open (Windows: held by another program; under Wine a directory
# is refused the same way, while a serial device is not kept for one opener).
mkdir "$tmp/refused"
ln -sfn "$tmp/refused" "$WINEPREFIX/dosdevices/${refused,,}"
unopened "$refused" "access denied" \
    '.+ \(error 5\)\. Another program holds the port \(.+\); close it and start Railmux again\.$'

# Ctrl-C with the client still connected.
kill -INT "$railmux"
wait_exit "$railmux" 60
code=$?
check "Ctrl-C: exit code 0 (got $code)" [ "$code" -eq 0 ]
exec 3>&- 2>/dev/null

if [ "$failed" -ne 0 ]; then
    echo "--- railmux.exe on ${com,,}:"
    cat "$tmp/railmux.out" "$tmp/railmux.err"
    echo "--- the simulator:"
    cat "$tmp/sim.out"
fi
finish
