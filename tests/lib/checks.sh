# Sourced by the test scripts that count checks: `check WHAT COMMAND...` runs
# the command and counts it in $passed or $failed, printing WHAT on failure.
passed=0
failed=0
check() {
    local what=$1; shift
    if "$@"; then
        passed=$((passed + 1))
    else
        printf '  FAIL: %s\n' "$what"
        failed=$((failed + 1))
    fi
}
