#!/usr/bin/env bash
# Runs the Windows test programs under Wine, for each architecture:
#   1. the smoke test (entry points, identity, reference counts, tables);
#   2. the harness against Wine's own network configuration object;
#   3. the harness against the test-only network configuration server,
#      registered for CLSID_CNetCfg;
#   4. tests/wine/ndisfilterctl-wine.sh;
#   5. a short soak (tests/wine/bench/soak.cpp): 100 cycles;
#   6. the README's host examples (tests/docs), built and run;
#   7. tests/package/check-package.sh: the ZIP packages unpacked and run;
#   8. the hosts' INF store clean-up against Wine's SetupUninstallOEMInfW;
#   9. tests/wine/preflight.sh: the pre-flight readers against registry
#      values and driver packages put in the prefix.
# x64 runs in build/wine-prefix (64-bit), x86 in build/wine-prefix-x86
# (32-bit); the harness's 120 s retry scenario runs on x64 only. Then the
# WOW64 case: the 32-bit programs and DLLs in the 64-bit prefix, the test
# server registered in the registry's 32-bit view.
# Usage: tests/wine/run.sh [--arch x64|x86|wow64] [harness arguments, e.g. --skip-slow]
# Each step passes only when its program exits 0 and closes with its count,
# "N passed, 0 failed" with N > 0 (run_counted, tests/lib/checks.sh). A
# machine that cannot run 32-bit programs skips x86 and WOW64, saying why
# (exit code 77 from --arch; a failure where NDISFILTER_REQUIRE_32BIT=1).
# Exit code nonzero on any failure. Ends each prefix's wineserver in any case.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
source tests/wine/arch.sh

if [[ ${1:-} != --arch ]]; then
    # x86 beside x64: prefixes of their own; WOW64 uses the 64-bit one.
    each_arch "Wine tests" "x64,wow64 x86" tests/wine/run.sh "$@"
    exit
fi
arch=${2:?usage: tests/wine/run.sh [--arch x64|x86|wow64 [harness arguments]]}
shift 2
# The harness's 120 s retry scenario runs in the 64-bit run only.
[[ $arch == x64 || " $* " == *" --skip-slow "* ]] || set -- --skip-slow "$@"
wine_arch "$arch"
build=$PRESET view=$REG_VIEW
BIN="$ROOT/build/$build/tests/wine"
export WINEPREFIX="$ROOT/build/$PREFIX"
source tests/wine/wine-env.sh
source tests/wine/inf-store.sh
BUILTIN_NETCFG='C:\windows\system32\netcfgx.dll'

printf '\n==== Wine, %s: %s programs in %s\n' "$arch" "$build" "$WINEPREFIX"
if [[ $arch != x64 ]] && ! wine_runs_32bit; then
    echo "The 32-bit build is compiled and checked as a binary, but not run."
    if [[ $arch == x86 ]]; then
        tests/package/check-package.sh "$build" --no-run || exit 1
    fi
    skip_32bit
fi

for program in ndisfilter_smoke.exe ndisfilter_wine_tests.exe ndisfilter_wine_soak.exe fake_netcfg.dll ndisfilter.dll; do
    if [[ ! -f $BIN/$program ]]; then
        echo "missing $BIN/$program: build the $build preset first" >&2
        exit 1
    fi
done

started=$(date +%s)
start_prefix  # one server for every step below

steps=0 failures=0
STEP_OUTPUT=$(mktemp)
trap 'rm -f "$STEP_OUTPUT"; stop_wineserver' EXIT
step() {  # $1: title; the rest: the command, which passes only with its closing count (run_counted)
    local title=$1; shift
    printf '\n---- %s: %s\n' "$arch" "$title"
    local t0=$SECONDS
    steps=$((steps + 1))
    if run_counted "$STEP_OUTPUT" "$@"; then
        printf -- '---- %s: %s: PASS (%d s)\n' "$arch" "$title" $((SECONDS - t0))
    else
        printf -- '---- %s: %s: FAIL (%d s)\n' "$arch" "$title" $((SECONDS - t0))
        failures=$((failures + 1))
    fi
}

# The README's C++ and C hosts (tests/docs), linked into one program that
# installs with the default INF beside it and removes again; its own state
# folder for the test server, and Wine's copy of the INF taken out of the
# store afterwards if Wine kept it under its own name.
readme_host() {
    local state="$WINEPREFIX/drive_c/readme-host" out code=0 passed=0 failed=0
    rm -rf "$state"
    mkdir -p "$state"
    out=$(FAKE_NETCFG_DIR='C:\readme-host' "$WINE" "$ROOT/build/$build/tests/docs/readme_host.exe" 2>&1) || code=$?
    out=$(tr -d '\r' <<<"$out")
    printf '%s\n' "$out"
    check "readme_host.exe exits 0" test "$code" = 0
    check "InstallDorvane answers 0" grep -qx 'InstallDorvane: 0' <<<"$out"
    check "UninstallDorvane answers TRUE, no restart" grep -qx 'UninstallDorvane: TRUE, restart 0' <<<"$out"
    remove_copy_under_own_name
    rm -rf "$state"
    printf "the README's hosts: %d passed, %d failed\n" "$passed" "$failed"
}

# The 32-bit ndisfilterctl.exe in the 64-bit prefix: status names both
# architectures, and a failed install gets the WOW64 reason.
wow64_ctl() {
    local state="$WINEPREFIX/drive_c/wow64-ctl" out passed=0 failed=0
    local ctl="$ROOT/build/$build/ndisfilter/ndisfilterctl.exe"
    rm -rf "$state"
    mkdir -p "$state"
    printf 'scenario wow64-ctl-%s\nanswer INetCfg.Apply E_FAIL\n' "$RANDOM" >"$state/scenario.txt"
    out=$(FAKE_NETCFG_DIR='C:\wow64-ctl' "$WINE" "$ctl" status 2>&1 | tr -d '\r') || true
    printf '%s\n' "$out"
    check "status names both architectures" grep -qx 'program: x86; operating system: x64; elevated: yes' <<<"$out"
    out=$(FAKE_NETCFG_DIR='C:\wow64-ctl' "$WINE" "$ctl" install --quiet 2>&1 | tr -d '\r') || true
    printf '%s\n' "$out"
    check "a failed install gives the WOW64 reason" grep -qx 'reason: a 32-bit program on x64 Windows: use the build that matches the operating system; the platform.s setup services refuse device and driver installation from WOW64' \
        <<<"$out"
    remove_copy_under_own_name
    rm -rf "$state"
    printf 'ndisfilterctl in WOW64: %d passed, %d failed\n' "$passed" "$failed"
}

FAKE_WIN=$(wine_path "$BIN/fake_netcfg.dll")
export WINE FAKE_NETCFG_DLL="$BIN/fake_netcfg.dll"
export NDISFILTERCTL_EXE="$ROOT/build/$build/ndisfilter/ndisfilterctl.exe"

if [[ $arch == wow64 ]]; then
    # The 64-bit view keeps Wine's own object: a 32-bit host that found the
    # test server there would be reading the wrong view.
    register_netcfg "$BUILTIN_NETCFG" 64
    register_netcfg "$FAKE_WIN" 32
    step "smoke test, 32-bit in a 64-bit prefix" "$WINE" "$BIN/ndisfilter_smoke.exe"
    step "harness, test server in the 32-bit view" "$WINE" "$BIN/ndisfilter_wine_tests.exe" "$@"
    step "ndisfilterctl in WOW64: the architectures, and the reason of a failure" wow64_ctl
    register_netcfg "$BUILTIN_NETCFG" 32
else
    register_netcfg "$BUILTIN_NETCFG" $view
    step "smoke test" "$WINE" "$BIN/ndisfilter_smoke.exe"
    step "harness, Wine's built-in network configuration" "$WINE" "$BIN/ndisfilter_wine_tests.exe" --builtin "$@"

    register_netcfg "$FAKE_WIN" $view
    step "harness, test network configuration server" "$WINE" "$BIN/ndisfilter_wine_tests.exe" "$@"

    step "soak: 100 install/uninstall cycles, handles, threads and memory back" \
        "$WINE" "$BIN/ndisfilter_wine_soak.exe" --cycles 100 --inf "$(wine_path "$ROOT/inf/DorvaneV.inf")"
    step "the README's hosts, as written" readme_host
    step "ndisfilterctl under Wine" tests/wine/ndisfilterctl-wine.sh
    step "package: unpacked into an empty folder, checked and run" tests/package/check-package.sh "$build"
    step "INF store clean-up with Wine's SetupUninstallOEMInfW" "$WINE" "$BIN/ndisfilter_inf_store_wine.exe"
    step "pre-flight readers: registry values, driver packages, bad input" tests/wine/preflight.sh "$BIN"
    step "a report's sources: network services, the setup log's tail" "$WINE" "$BIN/ndisfilter_report_sources_wine.exe"
fi

printf '\nWine tests, %s: %d passed, %d failed (steps), %d s in all\n' "$arch" $((steps - failures)) "$failures" \
    $(($(date +%s) - started))
[[ $failures -eq 0 ]]
