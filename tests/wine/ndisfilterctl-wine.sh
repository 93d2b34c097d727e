#!/usr/bin/env bash
# ndisfilterctl.exe under Wine, against the test-only network configuration
# server. tests/wine/run.sh calls it with WINEPREFIX, WINE, FAKE_NETCFG_DLL
# and NDISFILTERCTL_EXE exported and that server already registered for
# CLSID_CNetCfg. Run on its own, it sets that up itself:
#   tests/wine/ndisfilterctl-wine.sh [x64|x86]   (or NDISFILTER_WINE_ARCH; default x64)
# which uses build/windows-<arch> and the prefix tests/wine/run.sh uses for it.
#
# Each case runs the program through cmd so that the whole Windows exit code
# is seen (a Unix exit status keeps only its low eight bits), and checks the
# result line, the server's installed components and the INF store.
set -euo pipefail
cd "$(dirname "$0")/../.."
t_start=$SECONDS
if [[ -z ${FAKE_NETCFG_DLL:-} ]]; then
    arch=${1:-${NDISFILTER_WINE_ARCH:-x64}}
    [[ $arch == x64 || $arch == x86 ]] || { echo "usage: $0 [x64|x86]" >&2; exit 2; }
    source tests/wine/arch.sh
    wine_arch "$arch"
    build=$PRESET
    export WINEPREFIX=${WINEPREFIX:-$PWD/build/$PREFIX}
    export NDISFILTERCTL_EXE=${NDISFILTERCTL_EXE:-$PWD/build/$build/ndisfilter/ndisfilterctl.exe}
    export FAKE_NETCFG_DLL=$PWD/build/$build/tests/wine/fake_netcfg.dll
    source tests/wine/wine-env.sh
    if [[ $arch == x86 ]] && ! wine_runs_32bit; then skip_32bit; fi
    stop_wineserver  # a server an interrupted run left behind
    start_prefix
    own_server=1
    register_netcfg "$(wine_path "$FAKE_NETCFG_DLL")"
    export WINE
fi
: "${WINEPREFIX:?}" "${FAKE_NETCFG_DLL:?}"
export WINEDEBUG=${WINEDEBUG:--all}

EXE_UNIX=${NDISFILTERCTL_EXE:-$PWD/build/windows-x64/ndisfilter/ndisfilterctl.exe}
for file in "$EXE_UNIX" "$(dirname "$EXE_UNIX")/ndisfilter.dll" "$(dirname "$EXE_UNIX")/DorvaneV.inf"; do
    if [[ ! -f $file ]]; then
        echo "missing $file: build the $(basename "$(dirname "$(dirname "$EXE_UNIX")")") preset first" >&2
        exit 1
    fi
done
EXE=$("${WINE:-wine}" winepath.exe -w "$EXE_UNIX" 2>/dev/null | tr -d '\r')

# The server's state (scenario, call log, components) and our INF live in a
# folder of their own inside the prefix.
STATE_UNIX="$WINEPREFIX/drive_c/ndisfilterctl-test"
STATE='C:\ndisfilterctl-test'
rm -rf "$STATE_UNIX"
mkdir -p "$STATE_UNIX/media" "$STATE_UNIX/bin"
cp "$(dirname "$EXE_UNIX")/DorvaneV.inf" "$STATE_UNIX/media/DorvaneV.inf"
# The program beside its library and the INF beside the file it lists (a stand-in): a complete package.
cp "$EXE_UNIX" "$(dirname "$EXE_UNIX")"/{ndisfilter.dll,DorvaneV.inf} "$STATE_UNIX/bin/"
printf 'a stand-in driver file\r\n' | tee "$STATE_UNIX/media/DorvaneV.sys" >"$STATE_UNIX/bin/DorvaneV.sys"
EXE="$STATE\\bin\\ndisfilterctl.exe"
export FAKE_NETCFG_DIR="$STATE"

source tests/wine/inf-store.sh
hold_inf_name
SETUP_LOG="$WINEPREFIX/drive_c/windows/inf/setupapi.dev.log"
cleanup() {
    rm -rf "$STATE_UNIX" "$SETUP_LOG"
    release_inf_name
    # This trap replaces wine-env.sh's: the server started above ends here.
    [[ -z ${own_server:-} ]] || stop_wineserver
}
trap cleanup EXIT

source tests/lib/checks.sh

scenario() {  # $1: name; the rest: directives, one per argument
    local name=$1; shift
    {
        printf 'scenario ndisfilterctl-%s-%s\n' "$name" "$RANDOM$RANDOM"
        for directive in "$@"; do printf '%s\n' "$directive"; done
    } >"$STATE_UNIX/scenario.txt"
    : >"$STATE_UNIX/calls.log"
}

# True while a program of this prefix started by ctl is still running.
ctl_running() {
    local pid
    for pid in $(pgrep -f 'ndisfilterctl\.exe' 2>/dev/null); do
        grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && return 0
    done
    return 1
}

# ctl ARGS...: runs the program (in the folder $CTL_CWD, a Windows path, when
# set); sets CODE, OUT (stdout), ERR (stderr). Every call writes files of its
# own, and cmd writes the exit code to one more, apart from anything the
# program prints; the next call starts only once no program of this prefix
# is left running.
CALLS=0
ctl() {
    CALLS=$((CALLS + 1))
    local n=$CALLS cd_first="" waited=0
    [[ -n ${CTL_CWD:-} ]] && cd_first="cd /d $CTL_CWD && "
    "${WINE:-wine}" cmd /v:on /c "$cd_first$EXE $* >$STATE\\out$n.txt 2>$STATE\\err$n.txt & echo code=!errorlevel! >$STATE\\code$n.txt" \
        >"$STATE_UNIX/cmd$n.txt" 2>&1 </dev/null || true
    while ctl_running; do
        (( waited++ < 300 )) || { echo "  a program of call $n is still running after 30 s" >&2; break; }
        sleep 0.1
    done
    CODE=$(tr -d '\r' <"$STATE_UNIX/code$n.txt" 2>/dev/null | sed -n 's/^code=\([0-9-]*\) *$/\1/p')
    OUT=$(tr -d '\r' <"$STATE_UNIX/out$n.txt" 2>/dev/null)
    ERR=$(tr -d '\r' <"$STATE_UNIX/err$n.txt" 2>/dev/null)
    printf '  $ ndisfilterctl.exe %s -> %s\n' "$*" "${CODE:-?}"
    [[ -n $OUT ]] && printf '%s\n' "$OUT" | sed 's/^/    /'
    if [[ -z $CODE ]]; then sed 's/^/    cmd: /' "$STATE_UNIX/cmd$n.txt"; fi
    return 0
}

installed() { grep -qix 'ZQ_DorvaneV' "$STATE_UNIX/components.txt" 2>/dev/null; }
logged() { grep -q "$1" "$STATE_UNIX/calls.log"; }

# Copies an earlier run may have left would hide what this one adds.
purge_store_copies
: >"$STATE_UNIX/components.txt"

echo "bad usage: refused, nothing called"
scenario usage
ctl install --timeout 4294967296
check "out-of-range limit exits 87" test "$CODE" = 87
check "one line of reason, one pointing at the help" \
    test "$ERR" = $'ndisfilterctl: time limit "4294967296" is not a number of milliseconds from 0 to 4294967295 or "infinite"\nrun \'ndisfilterctl --help\' for usage'
ctl install --inf --verbose
check "an option as a value is a missing value" grep -qx 'ndisfilterctl: option --inf needs a value' <<<"$ERR"
for help in '/?' '-?' '/help'; do
    ctl "$help"
    check "$help shows the help and exits 0" test "$CODE" = 0
    check "$help help on stdout" grep -q '^usage: ndisfilterctl install' <<<"$OUT"
done
ctl install --sim-root 'C:\sim'
check "--sim-root refused on Windows" test "$CODE" = 87
ctl uninstall --retry --timeout 5
check "--retry with --timeout exits 87" test "$CODE" = 87
check "no network configuration call made" test ! -s "$STATE_UNIX/calls.log"

echo "install --inf, then uninstall: the INF copied into the store and purged"
scenario roundtrip
ctl install --inf "$STATE\\media\\DorvaneV.inf" --verbose
check "install exits 0" test "$CODE" = 0
check "install result line" grep -qx 'install: succeeded; flags: none' <<<"$OUT"
check "component installed" installed
copy=$(our_store_copies)
check "one copy of the INF in the store" test "$(wc -w <<<"$copy")" = 1
check "--verbose names the copy" grep -qi "inf\\\\$copy added" <<<"$OUT"
check "copy is the INF given" cmp -s "$STORE_UNIX/$copy" "$STATE_UNIX/media/DorvaneV.inf"
check "installed through INetCfgClassSetup" logged 'INetCfgClassSetup.Install'

ctl uninstall --verbose
check "uninstall exits 0" test "$CODE" = 0
check "uninstall result line" grep -qx "uninstall: succeeded; flags: none; INF copies removed by the library: $copy; by the clean-up: none" <<<"$OUT"
check "component removed" bash -c '! grep -qix ZQ_DorvaneV "$0"' "$STATE_UNIX/components.txt"
check "copy purged from the store" test -z "$(our_store_copies)"
check "--verbose names the deleted copy" grep -qi "inf\\\\$copy deleted" <<<"$OUT"

: >"$STATE_UNIX/calls.log"
ctl uninstall
check "nothing to remove: done already, exits 0" test "$CODE" = 0
check "not installed in words" grep -qx 'uninstall: not installed; nothing to remove; INF copies removed by the clean-up: none' <<<"$OUT"
check "the library not called" bash -c '! grep -q DeInstall "$0"' "$STATE_UNIX/calls.log"
ctl uninstall --no-cleanup
check "the library's own answer: 1603" test "$CODE" = 1603
check "failure result line" grep -qx 'uninstall: failed; flags: none; INF copies removed by the library: none' <<<"$OUT"

echo "default INF beside the program, with retry"
scenario default-inf
ctl install --retry
check "install --retry exits 0" test "$CODE" = 0
check "component installed" installed
check "default INF copied" test -n "$(our_store_copies)"
ctl uninstall --timeout 60000
check "uninstall with a limit exits 0" test "$CODE" = 0
check "store clean again" test -z "$(our_store_copies)"

echo "the library's flags become installer exit codes"
scenario reboot 'answer INetCfg.Apply NETCFG_S_REBOOT'
ctl install --inf "$STATE\\media\\DorvaneV.inf"
check "restart required exits 3010" test "$CODE" = 3010
check "restart in words" grep -qx 'install: succeeded; flags: restart required' <<<"$OUT"
ctl uninstall
check "uninstall needing a restart exits 3010" test "$CODE" = 3010

scenario cancel 'answer INetCfgClassSetup.Install CANCELLED'
ctl install --inf "$STATE\\media\\DorvaneV.inf"
check "cancelled exits 1223" test "$CODE" = 1223
check "cancelled in words" grep -qx 'install: failed; flags: cancelled' <<<"$OUT"
check "nothing installed" bash -c '! grep -qix ZQ_DorvaneV "$0"' "$STATE_UNIX/components.txt"

scenario hang 'answer INetCfg.Initialize hang'
ctl uninstall --timeout 1500
check "timed out exits 1460" test "$CODE" = 1460
check "timed out in words" grep -qx 'uninstall with a 1500 ms limit: failed; flags: timed out; INF copies removed by the library: none' <<<"$OUT"

scenario missing-library
ctl install --library 'C:\nowhere\ndisfilter.dll'
check "unloadable library exits 1603" test "$CODE" = 1603
check "reason on stderr" grep -q 'cannot load the library' <<<"$ERR"
check "no network configuration call made" test ! -s "$STATE_UNIX/calls.log"

echo "status: the component, the lock and the library, and exit codes a script branches on"
scenario status
ctl status
check "not installed exits 1605" test "$CODE" = 1605
check "not installed in words" grep -qx 'component ZQ_DorvaneV: not installed' <<<"$OUT"
check "the lock is free" grep -qx 'write lock: free' <<<"$OUT"
check "the library and its version resource" grep -qE '^library: .*ndisfilter\.dll \(version [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+\)$' <<<"$OUT"
check "status reads without the write lock" bash -c '! grep -q AcquireWriteLock "$0"' "$STATE_UNIX/calls.log"
check "status changes nothing" bash -c '! grep -qE "Apply|Install|DeInstall" "$0"' "$STATE_UNIX/calls.log"

echo "a relative --inf is the current directory's file"
CTL_CWD="$STATE\\media" ctl install --inf DorvaneV.inf --quiet
check "relative install exits 0" test "$CODE" = 0
copy=$(our_store_copies)
check "the relative INF was copied into the store" test -n "$copy"
[[ -n $copy ]] && check "the copy is that INF" cmp -s "$STORE_UNIX/$copy" "$STATE_UNIX/media/DorvaneV.inf"
scenario status-installed 'lock-holder Other Setup'
ctl query --json
check "installed exits 0" test "$CODE" = 0
check "JSON outcome installed" grep -q '"outcome": "installed"' <<<"$OUT"
check "JSON names the lock's holder" grep -q '"holder": "Other Setup"' <<<"$OUT"

echo "reason lines: the cause the machine shows"
scenario lock-held 'lock-holder Other Setup' 'lock-wait 100'
ctl install --inf "$STATE\\media\\DorvaneV.inf" --quiet
check "lock held: install exits 1618, which fleet tools retry" test "$CODE" = 1618
check "lock held: the holder named" grep -qx 'reason: the network configuration write lock is held by "Other Setup"; try again when it is released' <<<"$OUT"
ctl uninstall --quiet
check "lock held: uninstall exits 1618" test "$CODE" = 1618
check "lock held: the installed component keeps its INF copy" test "$(our_store_copies)" = "$copy"
ctl cleanup
check "cleanup while installed: refused, 1603" test "$CODE" = 1603
check "cleanup while installed: the reason" grep -qx 'reason: ZQ_DorvaneV is installed: uninstall it first (--force removes the copies anyway)' <<<"$OUT"
check "cleanup while installed: the copy stays" test "$(our_store_copies)" = "$copy"
scenario already-installed 'answer INetCfgClassSetup.Install E_FAIL'
ctl install --inf "$STATE\\media\\DorvaneV.inf"
check "already installed: the reason" grep -qx 'reason: ZQ_DorvaneV is already installed' <<<"$OUT"
scenario apply-fails 'answer INetCfg.Apply E_FAIL'
ctl uninstall --no-cleanup
check "unknown step: 1603" test "$CODE" = 1603
check "unknown step: where to look" grep -qF 'reason: the failing step is unknown; see %WINDIR%\inf\setupapi.dev.log' <<<"$OUT"
scenario remove
ctl uninstall --no-cleanup
check "removed" test "$CODE" = 0
ctl uninstall --no-cleanup
check "not installed: the reason" grep -qx 'reason: ZQ_DorvaneV is not installed' <<<"$OUT"
scenario inf-missing
ctl install --inf 'C:\nowhere\DorvaneV.inf'
check "missing INF exits 1603" test "$CODE" = 1603
check "missing INF: not run, and why" test "$OUT" = $'install: not run\nreason: the INF "C:\\nowhere\\DorvaneV.inf" does not exist'
check "missing INF: the library never called" test ! -s "$STATE_UNIX/calls.log"

echo "the setup log's code after a failed install"
# A section in the log's documented form, dated a minute ahead: it began
# after the run started.
log_section() {  # $1: code
    local at; at=$(date -d '+1 min' '+%Y/%m/%d %H:%M:%S.000')
    printf '>>>  [Device Install (DiInstallDriver) - %s\\media\\DorvaneV.inf]\r\n>>>  Section start %s\r\n!!!  ndv: Error %s: failed\r\n<<<  Section end %s\r\n<<<  [Exit status: FAILURE(%s)]\r\n' \
        "$STATE" "$at" "$1" "$at" "$1"
}
while read -r code words; do
    scenario "log-$code" 'answer INetCfg.Apply E_FAIL'
    log_section "$code" >"$SETUP_LOG"
    ctl install --inf "$STATE\\media\\DorvaneV.inf" --quiet
    check "$code: 1603" test "$CODE" = 1603
    check "$code: its cause and code in the reason" grep -qF "reason: $words" <<<"$OUT"
    check "$code: the code in the reason" grep -qF "(setupapi.dev.log: $code " <<<"$OUT"
done <<'CODES'
0x80070430 the driver's service is marked for deletion
0x8004A025 the driver's service is marked for deletion
0xE0000248 device installation is forbidden by policy
0xE0000247 the driver package is not signed
0xE000024B the driver package is not signed
0x8004A029 the operating system's limit of network filters is reached
0x80070005 access was denied
CODES
scenario log-json 'answer INetCfg.Apply E_FAIL'
ctl install --inf "$STATE\\media\\DorvaneV.inf" --quiet --json
check "JSON: the code, its cause and section" \
    test "$(jq -c '.reason | [.kind, .code, .cause, .section.exitStatus]' <<<"$OUT")" = '["unknown","0x80070005","access-blocked","FAILURE(0x80070005)"]'
: >"$SETUP_LOG"
ctl install --inf "$STATE\\media\\DorvaneV.inf" --quiet
check "no section of ours: today's reason" grep -qF 'reason: the failing step is unknown' <<<"$OUT"
purge_store_copies  # whatever the failed installs left

echo "report: one JSON file, other vendors' filters listed, bounded for a huge setup log"
scenario report 'component ms_otherfilter 0x40000 Other Vendor Filter'
printf 'ndisfilterctl log line\r\n' >"$STATE_UNIX/run.log"
ctl report --out "$STATE\\report.json" --include-log "$STATE\\run.log"
check "report exits 0" test "$CODE" = 0
check "report is valid JSON" python3 -m json.tool "$STATE_UNIX/report.json" /dev/null
check "the other component with its characteristics" \
    test "$(jq -c '.networkServices.services[] | select(.id == "ms_otherfilter") | [.displayName, .characteristics]' "$STATE_UNIX/report.json")" = '["Other Vendor Filter","0x00040000"]'
check "the system's version read" jq -e '.system.version.value.build > 0' "$STATE_UNIX/report.json"
check "the included log" jq -e '.includedLogs[0].text == "ndisfilterctl log line\r\n"' "$STATE_UNIX/report.json"
ctl report --out "$STATE\\report.json"
check "an existing file: refused with 1603" test "$CODE" = 1603
check "an existing file: said so" grep -qF 'exists already' <<<"$ERR"
ctl report --out "$STATE\\none\\report.json"
check "a missing folder: said so" grep -qF 'does not exist' <<<"$ERR"
check "nothing half-written left" test -z "$(find "$STATE_UNIX" -name 'ndf*.tmp')"
truncate -s 300M "$SETUP_LOG"
printf '\r\n' >>"$SETUP_LOG"  # the zeros end as a line of their own
log_section 0xE0000248 >>"$SETUP_LOG"
ctl report --out "$STATE\\huge.json"
check "huge setup log: report exits 0" test "$CODE" = 0
check "huge setup log: valid JSON" python3 -m json.tool "$STATE_UNIX/huge.json" /dev/null
check "huge setup log: its last section of ours" jq -e '.setupLog.sections[0].code == "0xE0000248"' "$STATE_UNIX/huge.json"
check "huge setup log: the report under 1 MB" test "$(stat -c %s "$STATE_UNIX/huge.json")" -lt 1000000
rm -f "$SETUP_LOG"

echo "two versions installed past oem59: one uninstall leaves no marked copy, other drivers' INFs untouched"
scenario store
for n in $(seq 0 59); do
    [[ -e $STORE_UNIX/oem$n.inf ]] || printf '; another driver %d\r\n[Version]\r\nSignature="$Windows NT$"\r\n' "$n" >"$STORE_UNIX/oem$n.inf"
done
other_infs() { grep -l '^; another driver' "$STORE_UNIX"/oem*.inf 2>/dev/null | wc -l; }
others=$(other_infs)
# The second version: the same file name, a later DriverVer, another folder.
mkdir -p "$STATE_UNIX/media2"
sed 's/^DriverVer *=.*/DriverVer   = 06\/01\/2024,1.1.0.0\r/' "$STATE_UNIX/media/DorvaneV.inf" >"$STATE_UNIX/media2/DorvaneV.inf"
cp "$STATE_UNIX/media/DorvaneV.sys" "$STATE_UNIX/media2/"
ctl install --inf "$STATE\\media\\DorvaneV.inf" --quiet
check "first version installs" test "$CODE" = 0
check "first version is oem60, past the library's purge range" test "$(our_store_copies)" = oem60.inf
ctl install --inf "$STATE\\media2\\DorvaneV.inf" --quiet
check "second version installs over it" test "$CODE" = 0
copies=$(our_store_copies)
check "each version has its marked copy" test "$copies" = $'oem60.inf\noem61.inf'
ctl cleanup --dry-run
check "dry run exits 0" test "$CODE" = 0
check "dry run lists exactly the marked copies" \
    test "$(grep ': would be removed$' <<<"$OUT" | sed 's/: would be removed$//' | sort)" = "$copies"
check "dry run counts them" grep -qx 'cleanup --dry-run: 2 marked copies would be removed from C:\\windows\\inf' <<<"$OUT"
check "dry run changes nothing" test "$(our_store_copies)" = "$copies"
ctl uninstall
check "uninstall exits 0" test "$CODE" = 0
check "the clean-up took both copies the library left" \
    grep -qx 'uninstall: succeeded; flags: none; INF copies removed by the library: none; by the clean-up: oem60.inf, oem61.inf' <<<"$OUT"
check "no marked copy remains" test -z "$(our_store_copies)"
check "none of the other drivers' INFs removed" test "$(other_infs)" = "$others"
check "another driver's INF untouched" grep -q '^; another driver 7' "$STORE_UNIX/oem7.inf"
for n in $(seq 0 59); do
    grep -q '^; another driver' "$STORE_UNIX/oem$n.inf" 2>/dev/null && rm -f "$STORE_UNIX/oem$n.inf"
done

# Whatever a failed case left behind goes with the prefix's next run.
purge_store_copies

echo "check: what the prefix's registry shows blocks; install refuses it, --no-check goes on"
scenario check
SERVICE='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\DorvaneV'
POLICY='HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Microsoft\Windows\DeviceInstall\Restrictions'
reg() { "${WINE:-wine}" reg.exe "$@" /f /reg:64 >/dev/null 2>&1; }
MEDIA_INF="$STATE\\media\\DorvaneV.inf"
reg add "$SERVICE" /v DeleteFlag /t REG_DWORD /d 1
ctl check --inf "$MEDIA_INF"
check "service marked for deletion: check exits 350" test "$CODE" = 350
check "its line" grep -qx 'blocked  service-deletion: the service "DorvaneV" is marked for deletion: an earlier removal waits for a restart; to do: restart Windows, then install' <<<"$OUT"
ctl install --inf "$MEDIA_INF" --json
check "install refused: 350" test "$CODE" = 350
check "install refused: the check's reason" grep -q '"kind": "preflight-service-deletion"' <<<"$OUT"
ctl install --inf "$MEDIA_INF" --no-check --quiet
check "--no-check goes on" test "$CODE" = 0
ctl uninstall --quiet
reg delete "$SERVICE" /v DeleteFlag
reg add "$POLICY" /v DenyDeviceClasses /t REG_DWORD /d 1
reg add "$POLICY\\DenyDeviceClasses" /v 1 /t REG_SZ /d '{4D36E974-E325-11CE-BFC1-08002BE10318}'
ctl check --inf "$MEDIA_INF"
check "policy denies the class: check exits 1603" test "$CODE" = 1603
check "its line" grep -q '^blocked  device-install-policy: the policy denies the NetService class (DenyDeviceClasses)' <<<"$OUT"
ctl install --inf "$MEDIA_INF"
check "install refused: 1603" test "$CODE" = 1603
check "install refused: not run, and why" grep -qx 'reason: the policy denies the NetService class (DenyDeviceClasses); ask the administrator .*' <<<"$OUT"
reg delete "$POLICY"

printf 'ndisfilterctl under Wine: %d passed, %d failed (%d s)\n' "$passed" "$failed" $((SECONDS - t_start))
[[ $failed -eq 0 ]]
