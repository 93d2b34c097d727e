#!/usr/bin/env bash
# The MSI packages under Wine's msiexec, for each architecture, against the
# test-only network configuration server registered for CLSID_CNetCfg:
#   upgrade     /i of an older version, then /i of this one (a major upgrade),
#               the older one again (refused), then /x, then /x again
#   restart     a platform answer that needs a restart, to the install and to
#               the removal: 3010 each, asked for by ScheduleRestart after
#               InstallFinalize (the deferred actions only note it)
#   cancel      cancelled by the platform: 1602, rolled back
#   failure     the second Apply fails after the first applied the component:
#               1603, rolled back
#   present     the component installed before the package, the install
#               fails: 1603, the component and its INF copy stay
#   removal-failure  a removal fails after the component went: 1603, the
#               component put back by the rollback (both noting a restart);
#               then /x after the component went away behind the package's
#               back: 0, the rolled-back run's restart note removed
#   bad input   CustomActionData empty, no ndisfilter.dll in the folder, a DLL
#               that refuses the interface: 1603 with the reason in the log
#   x86-on-x64  (x64 run) the x86 package refuses 64-bit Windows: 1603
# Each case checks msiexec's whole exit code, the installed files, the
# server's installed components, our copies in the INF store and the verbose
# log's lines from the custom actions. The logs are kept in
# build/msi-logs-<arch>/.
# Usage: tests/msi/run.sh [--arch x64|x86]
# x64 runs in build/wine-prefix (64-bit), x86 in build/wine-prefix-x86
# (32-bit). A machine that cannot run 32-bit programs skips x86, saying why
# (a failure where NDISFILTER_REQUIRE_32BIT=1).
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
source tests/wine/arch.sh

if [[ ${1:-} != --arch ]]; then
    # In turn: the x64 run builds the x86 package too.
    each_arch "MSI tests" "x64,x86" tests/msi/run.sh
    exit
fi
arch=${2:?usage: tests/msi/run.sh [--arch x64|x86]}
[[ $arch == wow64 ]] && { echo "the MSI tests run for x64 and x86" >&2; exit 2; }
wine_arch "$arch"
build=$PRESET view=$REG_VIEW
export WINEPREFIX="$ROOT/build/$PREFIX"
source tests/wine/wine-env.sh

printf '\n==== MSI, %s: %s packages in %s\n' "$arch" "$build" "$WINEPREFIX"
BUILD="$ROOT/build/$build"
[[ -f $BUILD/build.ninja ]] || cmake --preset "$build" >/dev/null
cmake --build --preset "$build" --target msi fake_netcfg >/dev/null
CA_DLL="$BUILD/tools/ndisfilterca/ndisfilterca.dll"

# The custom-action DLL as the installer's loader sees it, run or not: the
# six entry points by their plain names, and system DLLs only.
triple=x86_64-w64-mingw32
[[ $arch == x86 ]] && triple=i686-w64-mingw32
dump=$("$triple-objdump" -p "$CA_DLL")
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
               inside && /^[ \t]*$/ { exit }
               inside { print $NF }' <<<"$dump" | sort | tr '\n' ' ')
if [[ $exports != "DetectFilter InstallFilter RollbackInstallFilter RollbackUninstallFilter ScheduleRestart UninstallFilter " ]]; then
    echo "FAIL: ndisfilterca.dll exports '$exports', not the six entry points" >&2
    exit 1
fi
imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort | tr '\n' ' ')
if [[ $imports != "advapi32.dll kernel32.dll msi.dll msvcrt.dll ole32.dll setupapi.dll " ]]; then
    echo "FAIL: ndisfilterca.dll imports '$imports', not system DLLs only" >&2
    exit 1
fi
echo "ndisfilterca.dll: exports $exports; imports $imports"

if [[ $arch == x86 ]] && ! wine_runs_32bit; then skip_32bit; fi

# ---- the packages: this version's, an older one, and the bad-input one
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
PACKAGE="$BUILD/packaging/ndisfilter-$VERSION-$arch.msi"
FAKE_DLL="$BUILD/tests/wine/fake_netcfg.dll"
TEST_BUILD="$BUILD/packaging/test"
mkdir -p "$TEST_BUILD"
OLDER="$TEST_BUILD/ndisfilter-0.9.0-$arch.msi"
# The driver package the build was given (cmake/driver-package.cmake).
DRIVER_DIR=$(sed -n 's/^NDISFILTER_DRIVER_PACKAGE:PATH=//p' "$BUILD/CMakeCache.txt")
[[ -n $DRIVER_DIR ]] || DRIVER_DIR="$BUILD/driver-package"
mapfile -t DRIVER_FILES < <(packaging/driver-package.sh "$DRIVER_DIR")
packaging/build-msi.sh "$arch" 0.9.0 "$BUILD/release" "$CA_DLL" "$DRIVER_DIR" "$OLDER" >/dev/null
# On x64: the x86 package too, which must refuse 64-bit Windows.
X86_PACKAGE=
if [[ $arch == x64 ]]; then
    [[ -f $ROOT/build/windows-x86/build.ninja ]] || cmake --preset windows-x86 >/dev/null
    cmake --build --preset windows-x86 --target msi >/dev/null
    X86_PACKAGE="$ROOT/build/windows-x86/packaging/ndisfilter-$VERSION-x86.msi"
fi
# This version's package with a deferred action that fails a removal on
# request (FAILREMOVAL=1), after UninstallFilter and before RemoveFiles: our
# own InstallFilter entry point (1 + 1024 + 2048) without its data.
FAILING="$TEST_BUILD/failing-removal-$arch.msi"
cp "$PACKAGE" "$FAILING"
msibuild "$FAILING" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailRemoval', 3073, 'ndisfilterca', 'InstallFilter')"
msibuild "$FAILING" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('FailRemoval', 'REMOVE~=\"ALL\" AND FAILREMOVAL', 3495)"
BAD="$TEST_BUILD/bad-input-$arch.msi"
rm -rf "$TEST_BUILD/bad-stage" "$BAD"
mkdir "$TEST_BUILD/bad-stage"
cp "$CA_DLL" inf/DorvaneV.inf tests/msi/bad-input.wxs "$TEST_BUILD/bad-stage/"
(cd "$TEST_BUILD/bad-stage" && wixl --arch "$arch" -D Arch="$arch" -o "$BAD" bad-input.wxs)
msibuild "$BAD" -q "UPDATE \`CustomAction\` SET \`Type\` = 3329 WHERE \`Action\` = 'RollbackInstallFilter'"
rm -rf "$TEST_BUILD/bad-stage"

# ---- the prefix: the server and its state in C:\msi-test, our INF's name
# held in the store
started=$SECONDS
start_prefix
STATE_UNIX="$WINEPREFIX/drive_c/msi-test"
STATE='C:\msi-test'
PRODUCT_UNIX="$WINEPREFIX/drive_c/Program Files/ndisfilter"
BAD_PRODUCT_UNIX="$WINEPREFIX/drive_c/Program Files/ndisfilterca-bad-input"
LOGS="$ROOT/build/msi-logs-$arch"
rm -rf "$STATE_UNIX" "$LOGS"
mkdir -p "$STATE_UNIX/empty" "$STATE_UNIX/impostor" "$LOGS"
# The server keeps its state beside itself: msiexec's custom-action process
# finds it there whatever its environment.
unset FAKE_NETCFG_DIR
cp "$FAKE_DLL" "$STATE_UNIX/fake_netcfg.dll"
# A DLL named ndisfilter.dll whose DllGetClassObject refuses our interface.
cp "$FAKE_DLL" "$STATE_UNIX/impostor/ndisfilter.dll"
cp "$PACKAGE" "$STATE_UNIX/ndisfilter.msi"
cp "$OLDER" "$STATE_UNIX/ndisfilter-older.msi"
cp "$BAD" "$STATE_UNIX/bad-input.msi"
cp "$FAILING" "$STATE_UNIX/failing-removal.msi"
[[ -z $X86_PACKAGE ]] || cp "$X86_PACKAGE" "$STATE_UNIX/ndisfilter-x86.msi"
register_netcfg "$STATE\\fake_netcfg.dll" $view

source tests/wine/inf-store.sh
hold_inf_name
cleanup() {
    purge_store_copies
    rm -rf "$STATE_UNIX" "$PRODUCT_UNIX" "$BAD_PRODUCT_UNIX" "$WINEPREFIX/drive_c/Program Files (x86)/ndisfilter"
    release_inf_name
    # Wine's own network configuration object back in place for the prefix's next user.
    register_netcfg 'C:\windows\system32\netcfgx.dll' $view
    stop_wineserver
}
trap cleanup EXIT
purge_store_copies
: >"$STATE_UNIX/components.txt"

source tests/lib/checks.sh

# A driver package without a file its INF names: no package, the file named.
rm -rf "$TEST_BUILD/no-catalog"
cp -r "$DRIVER_DIR" "$TEST_BUILD/no-catalog"
rm "$TEST_BUILD/no-catalog/DorvaneV.cat"
check "build-msi.sh refuses a driver package without its catalog, naming it" bash -c \
    '! "$0" "$1" 0.9.0 "$2" "$3" "$4" "$5" 2>"$5.err" && grep -q "names DorvaneV.cat, which is not in" "$5.err" && test ! -e "$5"' \
    packaging/build-msi.sh "$arch" "$BUILD/release" "$CA_DLL" "$TEST_BUILD/no-catalog" "$TEST_BUILD/no-catalog.msi"

scenario() {  # $1: name; the rest: the server's directives
    local name=$1; shift
    {
        printf 'scenario msi-%s-%s\n' "$name" "$RANDOM$RANDOM"
        printf '%s\n' "$@"
    } >"$STATE_UNIX/scenario.txt"
    : >"$STATE_UNIX/calls.log"
}

# msiexec ARGS... (the log is added): sets CODE and LOG (the log's Unix path).
# Through a batch file run by cmd, with start /wait, so that the whole Windows
# exit code is seen and the arguments reach msiexec as written here.
RUN=0
msiexec() {
    RUN=$((RUN + 1))
    local name
    name=$(printf '%02d-%s' "$RUN" "$CASE")
    LOG="$STATE_UNIX/$name.log"
    printf 'start /wait msiexec %s /l*v %s\r\necho exit=%%errorlevel%%\r\n' "$*" "$STATE\\$name.log" \
        >"$STATE_UNIX/run.cmd"
    local t0=$SECONDS
    "$WINE" cmd /c "$STATE\\run.cmd" >"$STATE_UNIX/cmd.txt" 2>/dev/null || true
    CODE=$(tr -d '\r' <"$STATE_UNIX/cmd.txt" | sed -n 's/^exit=//p')
    [[ -f $LOG ]] && cp "$LOG" "$LOGS/"
    cp "$STATE_UNIX/calls.log" "$LOGS/$name.calls.log" 2>/dev/null || true
    printf '  msiexec %s -> %s (%d s)\n' "$*" "${CODE:-?}" $((SECONDS - t0))
    # The server's "!" lines: a reference, lock or thread misused.
    check "$name: the test server saw no misuse" bash -c '! grep -E "^ *[0-9]+ !" "$0"' \
        "$STATE_UNIX/calls.log"
}
logged() { [[ -f $LOG ]] && grep -aqF -- "$1" "$LOG"; }
action_started() { [[ -f $LOG ]] && grep -aqE -- "^Action start [0-9:]+: $1\.\$" <(tr -d '\r' <"$LOG"); }
installed() { grep -qix 'ZQ_DorvaneV' "$STATE_UNIX/components.txt" 2>/dev/null; }
not_installed() { ! installed; }
# The whole driver package folder with the binaries, each file as built.
files_present() {
    [[ -f $PRODUCT_UNIX/ndisfilter.dll && -f $PRODUCT_UNIX/ndisfilterctl.exe ]] || return 1
    local file
    for file in "${DRIVER_FILES[@]}"; do cmp -s "$PRODUCT_UNIX/$file" "$DRIVER_DIR/$file" || return 1; done
}
no_files() {
    [[ ! -e $PRODUCT_UNIX/ndisfilter.dll && ! -e $PRODUCT_UNIX/ndisfilterctl.exe ]] || return 1
    local file
    for file in "${DRIVER_FILES[@]}"; do [[ ! -e $PRODUCT_UNIX/$file ]] || return 1; done
}
# The deferred actions' restart note: HKLM\SOFTWARE\ndisfilter, named by
# the product code, in the 64-bit view.
note_left() {  # $1: a product code
    "$WINE" reg.exe query 'HKLM\SOFTWARE\ndisfilter' /v "$1" /reg:${view:-32} >/dev/null 2>&1
}
no_note() { ! note_left "$1"; }
no_note_key() { ! "$WINE" reg.exe query 'HKLM\SOFTWARE\ndisfilter' /reg:${view:-32} >/dev/null 2>&1; }
copies() { our_store_copies | wc -w; }
registered() {  # $1: a product code: whether the installer knows it
    "$WINE" reg.exe query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" \
        /reg:${view:-32} >/dev/null 2>&1
}
unregistered() { ! registered "$1"; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}'; }

# Rolled back: nothing of the package, the component or the INF is left.
rolled_back() {
    check "$1: no files" no_files
    check "$1: no component" not_installed
    check "$1: no INF copy in the store" test "$(copies)" = 0
    check "$1: the rollback action ran" logged 'ndisfilterca: RollbackInstallFilter: returns'
}

CASE=upgrade
echo "install the older version, then this one (a major upgrade), the older again, remove, remove again"
scenario upgrade
msiexec /i "$STATE\\ndisfilter-older.msi" /qn
check "older install exits 0" test "$CODE" = 0
check "files installed" files_present
check "component installed" installed
check "one INF copy in the store" test "$(copies)" = 1
check "copy is the shipped INF" cmp -s "$STORE_UNIX/$(our_store_copies)" "$DRIVER_DIR/DorvaneV.inf"
check "the whole driver package installed: ${DRIVER_FILES[*]}" files_present
check "log: the INF and folder given" logged 'InstallFilter: CustomActionData: "INF=C:\Program Files\ndisfilter\DorvaneV.inf|DIR=C:\Program Files\ndisfilter\"'
check "log: the library loaded by its full path" logged 'InstallFilter: loading C:\Program Files\ndisfilter\ndisfilter.dll'
check "log: what was called" logged 'InstallFilter: calling InstallWithRetry("C:\Program Files\ndisfilter\DorvaneV.inf")'
check "log: result and flags" logged 'InstallFilter: InstallWithRetry answered TRUE; flags: none'
check "log: answer" logged 'ndisfilterca: InstallFilter: returns 0 (ERROR_SUCCESS)'
check "log: no restart asked for, after InstallFinalize" logged 'ndisfilterca: ScheduleRestart: no restart required'
older_code=$(product_code "$OLDER")
check "older product registered" registered "$older_code"

msiexec /i "$STATE\\ndisfilter.msi" /qn
check "upgrade exits 0" test "$CODE" = 0
check "older product unregistered" unregistered "$older_code"
check "this product registered" registered "$(product_code "$PACKAGE")"
check "files installed" files_present
check "component installed" installed
check "one INF copy in the store" test "$(copies)" = 1
check "the older product's removal removed the component" grep -q 'INetCfgClassSetup.DeInstall' "$STATE_UNIX/calls.log"
check "log: ... before this one looked for it" logged 'DetectFilter: the component is not installed'
check "log: so its rollback is scheduled" action_started RollbackInstallFilter
check "log: this product's install" logged 'ndisfilterca: InstallFilter: returns 0'

msiexec /i "$STATE\\ndisfilter-older.msi" /qn
check "the older version over this one is refused: 1603" test "$CODE" = 1603
# Under /qn Wine logs the failed launch condition, not its message.
check "log: refused by the launch conditions" logged 'LaunchConditions. Return value 0'
check "this product still registered" registered "$(product_code "$PACKAGE")"
check "older product not registered" unregistered "$older_code"
check "files still there" files_present
check "component still installed" installed

msiexec /x "$STATE\\ndisfilter.msi" /qn
check "remove exits 0" test "$CODE" = 0
check "files removed" no_files
check "component removed" not_installed
check "no INF copy left" test "$(copies)" = 0
check "log: the removal called" logged 'UninstallFilter: calling UninstallWithRetry()'
check "log: result and flags" logged 'UninstallFilter: UninstallWithRetry answered TRUE; flags: none'
check "log: the INF store looked at" logged 'UninstallFilter: INF store: no copy left'
check "product unregistered" unregistered "$(product_code "$PACKAGE")"
msiexec /x "$STATE\\ndisfilter.msi" /qn
check "second remove exits 0" test "$CODE" = 0
check "still no files" no_files
check "still no component" not_installed

CASE=blocked
echo "a blocking check: DetectFilter ends the install before anything is changed"
scenario blocked
SERVICE='HKLM\SYSTEM\CurrentControlSet\Services\DorvaneV'
"$WINE" reg.exe add "$SERVICE" /v DeleteFlag /t REG_DWORD /d 1 /f /reg:${view:-32} >/dev/null 2>&1
msiexec /i "$STATE\\ndisfilter.msi" /qn
check "the service marked for deletion: 1603" test "$CODE" = 1603
check "log: the check's line" logged 'ndisfilterca: DetectFilter: check blocked  service-deletion: the service "DorvaneV" is marked for deletion'
check "log: refused, and why" logged 'DetectFilter: error: refused before anything is changed: the service "DorvaneV" is marked for deletion'
check "log: InstallFiles never started" bash -c '! grep -aq "Action start [0-9:]*: InstallFiles\." <(tr -d "\r" <"$0")' "$LOG"
check "no files" no_files
check "no component" not_installed
"$WINE" reg.exe delete "$SERVICE" /v DeleteFlag /f /reg:${view:-32} >/dev/null 2>&1

CASE=restart
echo "a restart needed by the install, then by the removal: 3010 each, asked for after InstallFinalize"
scenario restart 'answer INetCfg.Apply NETCFG_S_REBOOT'
# The deferred actions do not call MsiSetMode: 3010 comes from ScheduleRestart.
# Whether ScheduleRestart started after InstallFinalize ended (Wine logs no
# start of InstallFinalize).
after_finalize() {
    tr -d '\r' <"$LOG" | awk '/^Action ended [0-9:]+: InstallFinalize\./ { done = 1 }
        /^Action start [0-9:]+: ScheduleRestart\.$/ { if (done) after = 1 }
        END { exit !after }'
}
restart_asked() {  # $1: the deferred action that noted the restart; $2: what it called
    check "log: the restart flag" logged "$1: $2 answered TRUE; flags: restart required"
    check "log: $1 noted the restart" logged "ndisfilterca: $1: restart required: noted for ScheduleRestart, which asks the installer for it after InstallFinalize"
    check "log: ScheduleRestart asked for it" logged 'ndisfilterca: ScheduleRestart: a custom action noted a restart: restart requested at the end of the installation'
    check "log: ScheduleRestart ran after InstallFinalize" after_finalize
}
msiexec /i "$STATE\\ndisfilter.msi" /qn
check "install needing a restart exits 3010" test "$CODE" = 3010
check "files installed" files_present
check "component installed" installed
restart_asked InstallFilter InstallWithRetry
check "the note taken out of the registry" no_note "$(product_code "$PACKAGE")"
msiexec /x "$STATE\\ndisfilter.msi" /qn
check "removal needing a restart exits 3010" test "$CODE" = 3010
check "files removed" no_files
check "component removed" not_installed
check "INF copy removed" test "$(copies)" = 0
restart_asked UninstallFilter UninstallWithRetry
check "the note taken out of the registry, and its key with it" no_note_key

CASE=cancel
echo "cancelled by the platform: 1602, the component and the INF's copy taken back"
scenario cancel 'answer INetCfgClassSetup.Install CANCELLED'
msiexec /i "$STATE\\ndisfilter.msi" /qn
check "cancelled install exits 1602" test "$CODE" = 1602
check "log: cancelled" logged 'InstallFilter: InstallWithRetry answered FALSE; flags: cancelled'
check "log: the INF's copy taken back" logged 'InstallFilter: INF store: no copy left'
check "log: answer" logged 'InstallFilter: returns 1602 (ERROR_INSTALL_USEREXIT, cancelled)'
check "no component" not_installed
check "no INF copy in the store" test "$(copies)" = 0
# Windows Installer rolls back after a user exit; Wine's msiexec runs its
# rollback script after failures only, so the files stay here: take them
# away for the cases that follow.
if files_present; then
    echo "  (Wine ran no rollback after the user exit: the package's files stay)"
    rm -rf "$PRODUCT_UNIX"
fi

CASE=failure
echo "the second Apply fails after the first applied the component: 1603, rolled back"
scenario failure 'answer INetCfg.Apply S_OK E_FAIL S_OK'
msiexec /i "$STATE\\ndisfilter.msi" /qn
check "failed install exits 1603" test "$CODE" = 1603
check "log: failed" logged 'InstallFilter: InstallWithRetry answered FALSE; flags: none'
check "log: a reason line" logged 'InstallFilter: reason: '
check "log: answer" logged 'InstallFilter: returns 1603 (ERROR_INSTALL_FAILURE)'
check "log: the install took the component back" logged 'InstallFilter: undoing: calling UninstallWithRetry()'
check "log: ... and it went" logged 'InstallFilter: UninstallWithRetry answered TRUE; flags: none'
rolled_back failure

CASE=present
echo "the component there before the package: a failed install leaves it and its INF copy in place"
scenario present 'answer INetCfg.Apply E_FAIL'
echo ZQ_DorvaneV >"$STATE_UNIX/components.txt"
free=0
while compgen -G "$STORE_UNIX/[oO][eE][mM]$free.[iI][nN][fF]" >/dev/null; do free=$((free + 1)); done
cp "$DRIVER_DIR/DorvaneV.inf" "$STORE_UNIX/oem$free.inf"
msiexec /i "$STATE\\ndisfilter.msi" /qn
check "failed install exits 1603" test "$CODE" = 1603
check "log: the component found before" logged 'DetectFilter: the component is installed already: NDISFILTERPRESENT=1'
check "log: the install does not undo it" logged 'InstallFilter: not undoing'
check "no rollback action scheduled" eval '! action_started RollbackInstallFilter'
check "the component still installed" installed
check "its INF copy still in the store" test "$(copies)" = 1
check "the package's files rolled back" no_files
: >"$STATE_UNIX/components.txt"
purge_store_copies

CASE=removal-failure
echo "a removal fails after the component went: 1603, the component put back"
scenario removal-failure
msiexec /i "$STATE\\failing-removal.msi" /qn
check "install exits 0" test "$CODE" = 0
# Both the removal and its rollback need a restart: their notes stay, as
# no ScheduleRestart runs after a failure.
scenario removal-failure-restart 'answer INetCfg.Apply NETCFG_S_REBOOT'
msiexec /x "$STATE\\failing-removal.msi" /qn FAILREMOVAL=1
check "failed removal exits 1603" test "$CODE" = 1603
check "log: the failing step" logged 'InstallFilter: error: bad CustomActionData: it is empty'
check "log: the component removed first" logged 'UninstallFilter: UninstallWithRetry answered TRUE'
check "log: ... noting a restart" logged 'UninstallFilter: restart required: noted for ScheduleRestart'
check "log: the rollback put it back" logged 'RollbackUninstallFilter: InstallWithRetry answered TRUE; flags: restart required'
check "log: ... noting a restart" logged 'RollbackUninstallFilter: restart required: noted for ScheduleRestart'
check "no ScheduleRestart after the failure" eval '! action_started ScheduleRestart'
check "the rolled-back run's note left in the registry" note_left "$(product_code "$FAILING")"
check "the component installed" installed
check "one INF copy in the store" test "$(copies)" = 1
check "the files still there" files_present
scenario gone
: >"$STATE_UNIX/components.txt"
msiexec /x "$STATE\\failing-removal.msi" /qn
check "then the removal, the component gone behind its back, exits 0, not 3010" test "$CODE" = 0
check "log: the rolled-back run's restart notes removed first" logged 'DetectFilter: removed a restart note left by an earlier installation that did not finish'
check "the note gone from the registry, and its key with it" no_note_key
check "log: no restart asked for" logged 'ScheduleRestart: no restart required'
check "log: the reason, as ndisfilterctl gives it" logged 'UninstallFilter: reason: ZQ_DorvaneV is not installed'
check "log: nothing to remove" logged 'UninstallFilter: nothing to remove: the component is not installed'
check "no rollback of the removal scheduled" eval '! action_started RollbackUninstallFilter'
check "no component" not_installed
check "no INF copy" test "$(copies)" = 0
check "no files" no_files

CASE=bad-input
echo "bad input: 1603 with the reason in the log, nothing left"
scenario bad-input
bad_case() {  # $1: what; $2: CA_TEST_DATA; $3: the line expected in the log
    msiexec /i "$STATE\\bad-input.msi" /qn "CA_TEST_DATA=\"$2\""
    check "$1: exits 1603" test "$CODE" = 1603
    check "$1: the reason in the log" logged "$3"
    check "$1: answer" logged 'ndisfilterca: InstallFilter: returns 1603 (ERROR_INSTALL_FAILURE)'
    check "$1: the package's file rolled back" test ! -e "$BAD_PRODUCT_UNIX/DorvaneV.inf"
    check "$1: no component" not_installed
}
bad_case "empty CustomActionData" "" \
    'InstallFilter: error: bad CustomActionData: it is empty'
bad_case "no library in the folder" "INF=$STATE\\DorvaneV.inf|DIR=$STATE\\empty" \
    "InstallFilter: error: $STATE\\empty\\ndisfilter.dll is not there"
bad_case "a library that refuses the interface" "INF=$STATE\\DorvaneV.inf|DIR=$STATE\\impostor" \
    "InstallFilter: error: DllGetClassObject of $STATE\\impostor\\ndisfilter.dll refused INdisFilterHelper2 (0x80040111)"

if [[ -n $X86_PACKAGE ]]; then
    CASE=x86-on-x64
    echo "the x86 package on 64-bit Windows: refused, nothing installed"
    scenario x86-on-x64
    msiexec /i "$STATE\\ndisfilter-x86.msi" /qn
    check "x86 package refused: 1603" test "$CODE" = 1603
    check "log: refused by the launch conditions" logged 'LaunchConditions. Return value 0'
    check "no files in Program Files (x86)" test ! -e "$WINEPREFIX/drive_c/Program Files (x86)/ndisfilter"
    check "no component" not_installed
    check "no custom action ran" bash -c '! grep -aq "ndisfilterca:" "$0"' "$LOG"
fi

printf 'MSI under Wine, %s: %d passed, %d failed, %d s (packages built before)\n' \
    "$arch" "$passed" "$failed" $((SECONDS - started))
[[ $failed -eq 0 ]]
