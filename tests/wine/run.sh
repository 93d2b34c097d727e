#!/usr/bin/env bash
# Runs the Windows test programs under Wine in a throwaway prefix:
#   1. the smoke test (entry points, identity, reference counts, tables);
#   2. the harness against Wine's own network configuration object;
#   3. the harness against the test-only network configuration server,
#      registered for CLSID_CNetCfg;
#   4. tests/wine/ndisfilterctl-wine.sh, when present and executable.
# Usage: tests/wine/run.sh [harness arguments, e.g. --skip-slow]
# Exit code nonzero on any failure. Ends the prefix's wineserver in any case.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
BIN="$ROOT/build/windows-x64/tests/wine"
export WINEPREFIX="$ROOT/build/wine-prefix"
source tests/wine/wine-env.sh
BUILTIN_NETCFG='C:\windows\system32\netcfgx.dll'

for program in ndisfilter_smoke.exe ndisfilter_wine_tests.exe fake_netcfg.dll ndisfilter.dll; do
    if [[ ! -f $BIN/$program ]]; then
        echo "missing $BIN/$program: build the windows-x64 preset first" >&2
        exit 1
    fi
done

started=$(date +%s)
start_prefix  # one server for every step below

failures=0
step() {  # $1: title; the rest: the command
    local title=$1; shift
    printf '\n---- %s\n' "$title"
    local t0=$SECONDS
    if "$@"; then
        printf -- '---- %s: PASS (%d s)\n' "$title" $((SECONDS - t0))
    else
        printf -- '---- %s: FAIL (%d s)\n' "$title" $((SECONDS - t0))
        failures=$((failures + 1))
    fi
}

FAKE_WIN=$(winepath -w "$BIN/fake_netcfg.dll" 2>/dev/null)

register_netcfg "$BUILTIN_NETCFG"
step "smoke test" wine "$BIN/ndisfilter_smoke.exe"
step "harness, Wine's built-in network configuration" wine "$BIN/ndisfilter_wine_tests.exe" --builtin "$@"

register_netcfg "$FAKE_WIN"
step "harness, test network configuration server" wine "$BIN/ndisfilter_wine_tests.exe" "$@"

if [[ -x tests/wine/ndisfilterctl-wine.sh ]]; then
    export FAKE_NETCFG_DLL="$BIN/fake_netcfg.dll"
    step "ndisfilterctl under Wine" tests/wine/ndisfilterctl-wine.sh
fi

printf '\nWine tests: %d step(s) failed, %d s in all\n' "$failures" $(($(date +%s) - started))
[[ $failures -eq 0 ]]
