# shellcheck shell=bash
# Sourced by the test scripts that count checks: `check WHAT COMMAND...` runs
# the command and counts it in $passed or $failed, printing WHAT on failure.
# A script that counts closes with "N passed, M failed" (closing_count).
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

# closing_count FILE: true when the last line of FILE that is not blank is a
# program's closing count, "N passed, 0 failed" (other words around it
# allowed) with N > 0: a program that did not start, printed nothing or
# counted nothing has not passed. Otherwise false, saying why.
closing_count() {
    local last
    last=$(tr -d '\r' <"$1" | awk 'NF { line = $0 } END { print line }')
    if [[ ! $last =~ (^|[^0-9])([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
        echo "no closing count line (\"N passed, M failed\")"
        return 1
    fi
    ((BASH_REMATCH[2] > 0)) || { echo "the closing line counts nothing: $last"; return 1; }
    ((BASH_REMATCH[3] == 0)) || { echo "the closing line counts failures: $last"; return 1; }
}

# run_counted OUTPUT COMMAND...: runs COMMAND, both its streams into the file
# OUTPUT, then shows them; true only when it exits 0 and closing_count
# accepts its output. Otherwise false, saying why.
run_counted() {
    local output=$1 code=0 why; shift
    "$@" >"$output" 2>&1 || code=$?
    cat "$output"
    if ((code != 0)); then
        echo "exit status $code"
        return 1
    fi
    why=$(closing_count "$output") || { echo "exit status 0, but $why"; return 1; }
}
