# What the shell tests share, sourced: their verdict lines ("ok   - WHAT" or "FAIL - WHAT",
# counted in passed and failed; each test prints its own summary from the counts), a free TCP
# port, a client message with its reply, and the end of the processes a test started.
passed=0
failed=0
pass() {
    echo "ok   - $1"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL - $1"
    failed=$((failed + 1))
}
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# A TCP port nothing listens on, from FIRST on.
free_port() {  # FIRST
    local port=$1
    while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
        port=$((port + 1))
    done
    echo "$port"
}

# One reply of the client protocol: the text up to its carriage return.
reply() {  # FD SECONDS
    local text=""
    IFS= read -r -d $'\r' -t "$2" -u "$1" text || return 1
    printf '%s' "$text"
}

# Sends MESSAGE and checks that its reply is EXPECTED.
ask() {  # FD MESSAGE EXPECTED
    printf '%s\r' "$2" >&"$1"
    local got
    got=$(reply "$1" 30)
    check "$2 is answered $3 (got '$got')" [ "$got" = "$3" ]
}

# Kills and reaps every process in the test's pids (its EXIT trap calls this).
kill_pids() {
    local pid
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
}
