# The shell tests' verdict lines: "ok   - WHAT" or "FAIL - WHAT", counted in passed and failed.
# Sourced by the tests; each prints its own summary from the counts.
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
