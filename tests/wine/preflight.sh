#!/usr/bin/env bash
# The pre-flight readers under Wine (tests/wine/preflight/preflight_wine.cpp):
# each scenario imports registry values into the 64-bit view (`reg import
# /reg:64`, after taking away the previous scenario's), writes driver packages
# into C:\preflight, runs the program and compares its lines: what each reader
# answers, bad values included ("could not be read", never "ok"), and the
# checks and exit decision made from them.
# tests/wine/run.sh calls it with WINEPREFIX and WINE set and the prefix's
# server running; usage: tests/wine/preflight.sh <directory of the program>
set -uo pipefail
BIN=${1:?usage: tests/wine/preflight.sh <directory of ndisfilter_preflight_wine.exe>}
ROOT_UNIX=$WINEPREFIX/drive_c/preflight
passed=0 failed=0
crlf() { sed 's/$/\r/'; }

# --- Driver packages ---------------------------------------------------------
rm -rf "$ROOT_UNIX"
mkdir -p "$ROOT_UNIX/bin/x64"
# Decorated entries win for amd64: CatalogFile.NTamd64, [SourceDisksFiles.amd64]
# with a subfolder, the NTamd64.10.0 models and the .NTamd64 install section.
crlf >"$ROOT_UNIX/good.inf" <<'EOF'
[Version]
Signature = "$Windows NT$"
Class = NetService
ClassGUID = {4D36E974-E325-11CE-BFC1-08002BE10318}
CatalogFile = generic.cat
CatalogFile.NTamd64 = pkg64.cat
[Manufacturer]
%Mfg% = Models, NTx86, NTamd64.10.0
[Models.NTamd64.10.0]
%Desc% = Install, ZQ_PreflightTest
[Models]
%Desc% = Install, ZQ_PreflightTest
[Install.NTamd64]
Characteristics = 0x40000
[Install.NTamd64.Services]
AddService = PfTestSvc, , Svc
[Install]
[Install.Services]
AddService = WrongSvc, , Svc
[Svc]
ServiceType = 1
[SourceDisksNames]
1 = %Disk%, , , \bin
[SourceDisksFiles]
a.sys = 1
[SourceDisksFiles.amd64]
b.sys = 1, x64
[Strings]
Mfg = "test"
Desc = "test"
Disk = "disk"
EOF
crlf >"$ROOT_UNIX/bare.inf" <<'EOF'
[Version]
Signature = "$Windows NT$"
Class = NetService
[SourceDisksNames]
1 = disk
[SourceDisksFiles]
missing.sys = 1
EOF
printf 'not an INF file\r\n' >"$ROOT_UNIX/broken.inf"
printf 'a sys' >"$ROOT_UNIX/bin/a.sys"
printf 'b sys' >"$ROOT_UNIX/bin/x64/b.sys"
printf 'not a signed catalog' >"$ROOT_UNIX/pkg64.cat"

# --- Registry ----------------------------------------------------------------
KEYS='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet'
POLICY='HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Microsoft\Windows\DeviceInstall\Restrictions'
CBS='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending'
WU='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired'
NETSERVICE='{4d36e974-e325-11ce-bfc1-08002be10318}'
# What every scenario takes away first: our values and keys.
CLEAN="[-$KEYS\\Services\\PfTestSvc]
[-$POLICY]
[-$CBS]
[-$WU]
[$KEYS\\Control\\Session Manager]
\"PendingFileRenameOperations\"=-
[$KEYS\\Control\\Network]
\"MaxNumFilters\"=-"

# $1: the scenario's .reg lines after the clean-up.
import() {
    printf 'Windows Registry Editor Version 5.00\n\n%s\n%s\n' "$CLEAN" "$1" | crlf >"$ROOT_UNIX/scenario.reg"
    "$WINE" reg.exe import 'C:\preflight\scenario.reg' /reg:64 >/dev/null 2>&1 ||
        { echo "FAIL: reg import"; failed=$((failed + 1)); }
}

# The test server's state in our folder: other vendors' components
# (NCF_LW_FILTER is 0x40000).
export FAKE_NETCFG_DIR='C:\preflight'
printf '%s\r\n' 'scenario preflight' 'component ZQ_OtherA 0x40000 Other filter A' \
    'component ZQ_OtherB 0x40010 Other filter B' 'component ZQ_Service 0x10 Other service' \
    >"$ROOT_UNIX/scenario.txt"

out=""
run() {  # $1: the INF's name in C:\preflight
    out=$("$WINE" "$BIN/ndisfilter_preflight_wine.exe" "C:\\preflight\\$1" 2>&1 | tr -d '\r')
}
expect() {  # $1: scenario; $2: a line the output must hold
    if grep -qxF -- "$2" <<<"$out"; then
        passed=$((passed + 1)); printf 'ok    %s: %s\n' "$1" "$2"
    else
        failed=$((failed + 1)); printf 'FAIL  %s: no line "%s"\n' "$1" "$2"; printf '%s\n' "$out" | sed 's/^/        /'
    fi
}
expect_match() {  # $1: scenario; $2: an extended regular expression for a whole line
    if grep -qxE -- "$2" <<<"$out"; then
        passed=$((passed + 1)); printf 'ok    %s: /%s/\n' "$1" "$2"
    else
        failed=$((failed + 1)); printf 'FAIL  %s: no line like /%s/\n' "$1" "$2"; printf '%s\n' "$out" | sed 's/^/        /'
    fi
}

S="every cause set"
import "[$KEYS\\Services\\PfTestSvc]
\"DeleteFlag\"=dword:00000001
[$KEYS\\Control\\Session Manager]
\"PendingFileRenameOperations\"=hex(7):5c,00,3f,00,3f,00,5c,00,43,00,3a,00,5c,00,70,00,66,00,2e,00,74,00,6d,00,70,00,00,00,00,00,00,00
[$CBS]
[$WU]
[$POLICY]
\"DenyDeviceClasses\"=dword:00000001
\"AllowAdminInstall\"=dword:00000000
[$POLICY\\DenyDeviceClasses]
\"1\"=\"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\"
\"2\"=\" $NETSERVICE \"
[$KEYS\\Control\\Network]
\"MaxNumFilters\"=dword:0000000e"
run good.inf
expect "$S" 'inf-package: catalog CatalogFile.NTamd64 C:\preflight\pkg64.cat (0); file C:\preflight\bin\x64\b.sys (0); file C:\preflight\bin\a.sys (0); service PfTestSvc'
expect_match "$S" 'catalog-trust: 0x[89A-F][0-9A-F]{7}'
expect_match "$S" 'check catalog-signature: warning: the catalog "C:\\preflight\\pkg64.cat" does not verify: .* \(0x[0-9A-F]{8}\)'
expect "$S" 'service-deletion: yes'
expect "$S" 'pending-renames: yes'
expect "$S" 'pending-servicing: yes'
expect "$S" 'pending-update: yes'
expect "$S" 'policy: deny-classes yes, netservice denied yes, deny-unspecified no, netservice allowed no, admin-install no'
expect "$S" 'max-filters: 14'
expect "$S" 'remote-session: no'
# The test server lists two lightweight filters of other vendors and one
# service that is not a filter. Only 6.1 has a limit; the prefix's version
# decides which line the check gives.
expect "$S" 'lw-filters: 2'
if grep -qx 'os-version: 6.1' <<<"$out"; then
    expect "$S" 'check filter-limit: ok: 2 lightweight filter(s) installed, limit 14'
else
    expect_match "$S" 'check filter-limit: ok: Windows [0-9]+\.[0-9]+ has no filter limit'
fi
expect "$S" 'check service-deletion: blocked: the service "PfTestSvc" is marked for deletion: an earlier removal waits for a restart'
expect "$S" 'check pending-restart: warning: a restart is pending: file renames (PendingFileRenameOperations), servicing (RebootPending), updates (RebootRequired)'
expect "$S" 'check device-install-policy: blocked: the policy denies the NetService class (DenyDeviceClasses)'
expect_match "$S" 'summary: 2 blocked, .*; exit 1603'

S="only the service marked for deletion"
import "[$KEYS\\Services\\PfTestSvc]
\"DeleteFlag\"=dword:00000001"
run good.inf
expect "$S" 'pending-renames: no'
expect "$S" 'policy: deny-classes no, netservice denied no, deny-unspecified no, netservice allowed no, admin-install no'
expect "$S" 'max-filters: 8'
expect_match "$S" 'summary: 1 blocked, .*; exit 350'

S="values of the wrong type"
import "[$KEYS\\Services\\PfTestSvc]
\"DeleteFlag\"=\"1\"
[$KEYS\\Control\\Session Manager]
\"PendingFileRenameOperations\"=dword:00000001
[$POLICY]
\"DenyDeviceClasses\"=dword:00000001
[$POLICY\\DenyDeviceClasses]
\"1\"=dword:00000001
[$KEYS\\Control\\Network]
\"MaxNumFilters\"=dword:00000014"
run good.inf
expect "$S" 'service-deletion: unread: HKLM\SYSTEM\CurrentControlSet\Services\PfTestSvc\DeleteFlag is REG_SZ, not REG_DWORD'
expect "$S" 'pending-renames: unread: HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations is REG_DWORD, not REG_MULTI_SZ'
expect "$S" 'policy: unread: HKLM\SOFTWARE\Policies\Microsoft\Windows\DeviceInstall\Restrictions\DenyDeviceClasses\1 is REG_DWORD, not REG_SZ'
expect "$S" 'max-filters: unread: HKLM\SYSTEM\CurrentControlSet\Control\Network\MaxNumFilters is 20, outside 1..14'
expect "$S" 'check service-deletion: warning (unread): the service "PfTestSvc"'"'"'s DeleteFlag could not be read: HKLM\SYSTEM\CurrentControlSet\Services\PfTestSvc\DeleteFlag is REG_SZ, not REG_DWORD'
expect_match "$S" 'check pending-restart: warning \(unread\): whether a restart is pending could not be read: .*'
expect_match "$S" 'check device-install-policy: warning \(unread\): .*is REG_DWORD, not REG_SZ'
expect_match "$S" 'summary: 0 blocked, .*; exit 0'

S="values of the wrong size; NetService allowed"
import "[$KEYS\\Services\\PfTestSvc]
\"DeleteFlag\"=hex(4):01,00
[$POLICY]
\"DenyUnspecified\"=dword:00000001
\"AllowDeviceClasses\"=dword:00000001
[$POLICY\\AllowDeviceClasses]
\"1\"=\"$NETSERVICE\"
[$KEYS\\Control\\Network]
\"MaxNumFilters\"=hex(b):08,00,00,00,00,00,00,00"
run bare.inf
expect "$S" 'inf-package: catalog none; file C:\preflight\missing.sys (2); service none'
expect "$S" 'check inf-package: blocked: the driver package is incomplete: "C:\preflight\missing.sys" not found'
expect "$S" 'check catalog-signature: warning: the INF names no catalog (CatalogFile): the package is unsigned'
expect "$S" 'policy: deny-classes no, netservice denied no, deny-unspecified yes, netservice allowed yes, admin-install no'
expect "$S" 'check device-install-policy: ok: the device installation policy allows the NetService class'
expect "$S" 'max-filters: unread: HKLM\SYSTEM\CurrentControlSet\Control\Network\MaxNumFilters is REG_QWORD, not REG_DWORD'
run good.inf
expect "$S" 'service-deletion: unread: HKLM\SYSTEM\CurrentControlSet\Services\PfTestSvc\DeleteFlag is a REG_DWORD of 2 bytes, not 4'

S="unspecified classes denied, administrators exempt; an INF that does not parse"
import "[$POLICY]
\"DenyUnspecified\"=dword:00000001
\"AllowAdminInstall\"=dword:00000001"
run broken.inf
expect "$S" 'policy: deny-classes no, netservice denied no, deny-unspecified yes, netservice allowed no, admin-install yes'
expect_match "$S" 'check device-install-policy: warning: the policy denies classes it does not allow \(DenyUnspecified\), .*AllowAdminInstall exempts administrators'
expect_match "$S" 'inf-package: unread: SetupOpenInfFileW failed \(0x[0-9A-F]{8}\).*'
expect_match "$S" 'check inf-package: warning \(unread\): the driver package of the INF "C:\\preflight\\broken.inf" could not be read: .*'

S="the filter limit reached"
import "[$KEYS\\Control\\Network]
\"MaxNumFilters\"=dword:00000002"
run good.inf
expect "$S" 'max-filters: 2'
if grep -qx 'os-version: 6.1' <<<"$out"; then
    expect "$S" 'check filter-limit: blocked: 2 lightweight filter(s) installed, limit 2: the limit is reached'
    expect_match "$S" 'summary: 1 blocked, .*; exit 1603'
fi

import ""  # leaves the machine as it was
rm -rf "$ROOT_UNIX"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
