// The checks a host runs before it installs the component: what the machine
// shows, read without changing anything, and what each fact means for an
// install. Print-free: ndisfilterctl (`check`, the pre-check of `install`)
// and the installer's custom actions render the same checks in their own way.
//
// Two halves: the readers (GatherPreflightFacts and the Read* functions,
// preflight_read*.cpp), and the pure evaluation (EvaluatePreflight,
// preflight.cpp), which turns facts into checks and is tested with
// hand-built facts.
//
// A value that cannot be read is a Reading without a value and with the
// reason; its check is a warning ("... could not be read: <reason>"), never
// ok: the install may still work, and the platform has the last word.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "diagnosis.h"
#include "inf_store.h"
#include "netcfg_query.h"

namespace ndisfilter::tools {

// A value read from the machine, or why it could not be read.
template <typename T>
struct Reading {
    std::optional<T> value;
    std::wstring whyUnread;  // set when value is absent: "access denied (error 5)", ...

    static Reading Of(T v) { return Reading{std::move(v), {}}; }
    static Reading Unread(std::wstring why) { return Reading{std::nullopt, std::move(why)}; }
};

struct OsVersion {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
};

// Windows 7 / Server 2008 R2 (6.1): the only version with a limit on the
// number of lightweight filters.
constexpr OsVersion kFilterLimitVersion = {6, 1, 0};
constexpr bool HasFilterLimit(const OsVersion &v) {
    return v.major == kFilterLimitVersion.major && v.minor == kFilterLimitVersion.minor;
}

// A file of the driver package, looked for beside the INF.
struct PackageFile {
    std::wstring path;
    DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS: present; else why not (2: missing)
};

// What the INF says about its package, for the native architecture.
struct InfPackage {
    // The [Version] entry that names the catalog ("CatalogFile.NTamd64",
    // "CatalogFile"); empty when the INF names none.
    std::wstring catalogEntry;
    PackageFile catalog;  // when catalogEntry is set
    // Every file [SourceDisksFiles] and [SourceDisksFiles.<arch>] list, where
    // [SourceDisksNames] puts it relative to the INF.
    std::vector<PackageFile> listedFiles;
    // The first AddService's service name; empty when the INF adds none.
    std::wstring serviceName;
};

// Three sources of "a restart is pending", each read on its own.
struct PendingRestart {
    Reading<bool> fileRenames;  // Session Manager\PendingFileRenameOperations non-empty
    Reading<bool> servicing;    // Component Based Servicing\RebootPending exists
    Reading<bool> update;       // WindowsUpdate\Auto Update\RebootRequired exists
};

// The device installation restriction policy as it concerns the NetService
// class. An absent key or value is a policy not set (all false).
struct DeviceInstallPolicy {
    bool denyClasses = false;        // DenyDeviceClasses = 1
    bool netServiceDenied = false;   // ... and its list holds the NetService class
    bool denyUnspecified = false;    // DenyUnspecified = 1
    bool netServiceAllowed = false;  // AllowDeviceClasses = 1 and its list holds it
    bool allowAdminInstall = false;  // AllowAdminInstall = 1
};

// Everything the evaluation looks at.
struct PreflightFacts {
    ProcessFacts process;
    // The machine's own architecture ("x64", "arm64", "x86"), from
    // IsWow64Process2 where the system has it (an x64 program emulated on
    // arm64 is not WOW64, and GetNativeSystemInfo says x64 to it), else from
    // GetNativeSystemInfo. Empty when neither answered.
    std::wstring nativeMachine;
    Reading<OsVersion> osVersion;

    std::wstring infPath;  // as given (or the default), for the text
    InfCheck inf;
    Reading<InfPackage> package;             // only read when inf is Readable
    Reading<LONG> catalogTrust;              // WinVerifyTrust's answer: 0 = verified
    Reading<bool> serviceMarkedForDeletion;  // DeleteFlag of package->serviceName

    PendingRestart pendingRestart;
    Reading<DeviceInstallPolicy> policy;
    // The filter limit, read on Windows 7 / Server 2008 R2 (6.1) only.
    Reading<DWORD> maxFilters;          // MaxNumFilters, 8 when not set
    Reading<DWORD> lightweightFilters;  // installed network services with NCF_LW_FILTER

    NetCfgQuery netcfg;  // write lock and our component
    infstore::InfStoreScan store;
    Reading<bool> remoteSession;
};

enum class Verdict { Ok, Warning, Blocked };
const char *VerdictName(Verdict verdict);  // "ok", "warning", "blocked"

struct Check {
    const char *id = "";  // stable: "elevation", "architecture", ... (kCheckIds)
    Verdict verdict = Verdict::Ok;
    bool unread = false;  // the warning is "could not be read"
    std::wstring fact;    // one line
    std::wstring advice;  // what to do; empty when ok
};

// Every check, in the order EvaluatePreflight gives them, and when each is
// blocked (certain to fail) or a warning (likely trouble the platform judges):
//   elevation              blocked: not elevated
//   architecture           blocked: WOW64, or a program emulated on another
//                          architecture (x64 on arm64: its driver cannot load)
//   inf-package            blocked: the INF missing or unopenable, the named
//                          catalog or a [SourceDisksFiles] file missing
//   catalog-signature      warning: no catalog named, or WinVerifyTrust
//                          does not verify it (test-signing machines differ)
//   service-deletion       blocked: the INF's service has DeleteFlag set
//   pending-restart        warning: any of the three sources
//   device-install-policy  blocked: NetService denied by class, or unlisted
//                          under DenyUnspecified; warning instead when
//                          AllowAdminInstall is set and the process elevated
//   filter-limit           blocked (6.1 only): the limit reached and our
//                          component not among the installed filters
//   write-lock             warning: held (it may be released in time)
//   component              warning: already installed
//   inf-store              warning: more marked copies than an installed
//                          component accounts for, or an unreadable copy
//   remote-session         warning: a remote session
// Anything that could not be read is a warning with unread set.
constexpr const char *kCheckIds[] = {
    "elevation",
    "architecture",
    "inf-package",
    "catalog-signature",
    "service-deletion",
    "pending-restart",
    "device-install-policy",
    "filter-limit",
    "write-lock",
    "component",
    "inf-store",
    "remote-session",
};

// The platform's code for "nothing was done: restart first".
constexpr int kExitRestartFirst = 350;  // ERROR_FAIL_NOACTION_REBOOT
constexpr int kExitBlocked = 1603;      // ERROR_INSTALL_FAILURE

struct PreflightSummary {
    size_t ok = 0, warnings = 0, blocked = 0;
    size_t unread = 0;  // of the warnings, those that could not be read
    // 0 when nothing blocks; kExitRestartFirst when only the service marked
    // for deletion blocks; kExitBlocked when anything else blocks.
    int exitCode = 0;
};

struct PreflightResult {
    std::vector<Check> checks;
    PreflightSummary summary;
};

// Facts to checks; pure.
PreflightResult EvaluatePreflight(const PreflightFacts &facts);
PreflightSummary Summarize(const std::vector<Check> &checks);
// "2 blocked, 1 warning (1 could not be read), 9 ok"
std::wstring DescribeSummary(const PreflightSummary &summary);
// One line per check, the same in every host's output:
// "blocked  elevation: the process is not elevated; to do: run from ..."
std::wstring DescribeCheck(const Check &check);

// --- The readers: read-only --------------------------------------------------

// Reads every fact. infPath: the INF to install, as the library would be
// given it (a full path). The filter limit is read on 6.1 only.
PreflightFacts GatherPreflightFacts(const WCHAR *infPath);

// GatherPreflightFacts then EvaluatePreflight.
PreflightResult RunPreflight(const WCHAR *infPath);
// The checks an installer's immediate action runs before its files are in
// place: the INF's service (serviceName, from the product) instead of the
// INF, and without inf-package, catalog-signature (the INF is not on the
// machine yet; the library meets it) and elevation (an immediate action has
// the user's token; the deferred actions that change the machine do not).
PreflightResult RunPreflightBeforeFiles(const WCHAR *serviceName);

// The parts, for the tests under Wine and for `status` / `report`. On the
// host build (the simulated platform has no registry, INF parser or trust
// provider) each answers "could not be read: not on the simulated machine",
// except ReadNativeMachine (GetNativeSystemInfo's answer).
std::wstring ReadNativeMachine();
// The machine's architecture when the program runs emulated on it (an x64 or
// x86 program on arm64 Windows), else empty. nativeMachine: ReadNativeMachine.
std::wstring EmulatingMachine(const ProcessFacts &process, const std::wstring &nativeMachine);
Reading<OsVersion> ReadOsVersion();
// machine: the architecture whose decorated entries apply ("x64", "x86", "arm64").
Reading<InfPackage> ReadInfPackage(const WCHAR *infPath, const std::wstring &machine);
Reading<LONG> ReadCatalogTrust(const WCHAR *catalogPath);
Reading<bool> ReadServiceMarkedForDeletion(const WCHAR *serviceName);
PendingRestart ReadPendingRestart();
Reading<DeviceInstallPolicy> ReadDeviceInstallPolicy();
Reading<DWORD> ReadMaxNumFilters();
Reading<DWORD> CountLightweightFilters();
Reading<bool> ReadRemoteSession();

// The filter limit's bounds: the default when MaxNumFilters is not set, and
// the largest value the platform accepts.
constexpr DWORD kDefaultMaxFilters = 8;
constexpr DWORD kLargestMaxFilters = 14;

}  // namespace ndisfilter::tools
