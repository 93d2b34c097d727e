// The pre-flight evaluation: facts to checks, one per cause an install is
// known to fail from, and the exit decision. Pure: no platform call.
#include <windows.h>

#include "preflight.h"

#include "ndisfilter/setup/product.h"

namespace ndisfilter::tools {
namespace {

Check Ok(const char *id, std::wstring fact) {
    return {id, Verdict::Ok, false, std::move(fact), {}};
}
Check Warn(const char *id, std::wstring fact, std::wstring advice) {
    return {id, Verdict::Warning, false, std::move(fact), std::move(advice)};
}
Check Block(const char *id, std::wstring fact, std::wstring advice) {
    return {id, Verdict::Blocked, false, std::move(fact), std::move(advice)};
}
// A value that could not be read: a warning, never ok.
Check Unread(const char *id, const std::wstring &what, const std::wstring &why) {
    return {id, Verdict::Warning, true, what + L" could not be read: " + why,
            L"look at it by hand before installing; the install itself may still work"};
}

std::wstring Quoted(const std::wstring &text) { return L"\"" + text + L"\""; }

Check Elevation(const PreflightFacts &f) {
    if (!f.process.elevated)
        return Unread("elevation", L"the process token's elevation", L"GetTokenInformation failed");
    if (*f.process.elevated) return Ok("elevation", L"the process is elevated");
    return Block("elevation", L"the process is not elevated",
                 L"run from an elevated prompt (Run as administrator)");
}

Check Architecture(const PreflightFacts &f) {
    const ProcessFacts &p = f.process;
    const std::wstring native = f.nativeMachine.empty() ? p.systemArchitecture : f.nativeMachine;
    const std::wstring fact = L"program " + p.programArchitecture + L" on " + native + L" Windows";
    if (!p.wow64)
        return Unread("architecture", L"whether the program runs under WOW64",
                      L"IsWow64Process failed");
    if (*p.wow64)
        return Block("architecture", fact + L" (WOW64)",
                     L"use the " + native +
                         L" build: the platform's setup services refuse "
                         L"device and driver installation from WOW64");
    if (!EmulatingMachine(p, native).empty())
        return Block("architecture", fact + L" (emulated)",
                     L"use the " + native +
                         L" build: an emulated program installs the INF's entries for its own "
                         L"architecture, and a driver built for it cannot load on this machine");
    return Ok("architecture", fact);
}

Check InfPackageCheck(const PreflightFacts &f) {
    const char *id = "inf-package";
    const std::wstring inf = L"the INF " + Quoted(f.infPath);
    if (f.inf.state == InfCheck::State::Missing)
        return Block(id, inf + L" does not exist", L"give the INF's path with --inf");
    if (f.inf.state == InfCheck::State::Unreadable)
        return Block(id, inf + L" cannot be read (error " + std::to_wstring(f.inf.error) + L")",
                     L"check the file's permissions");
    if (!f.package.value) return Unread(id, L"the driver package of " + inf, f.package.whyUnread);
    const InfPackage &package = *f.package.value;
    std::wstring missing;
    size_t count = 0;
    const auto note = [&](const PackageFile &file) {
        if (file.error == ERROR_SUCCESS) return;
        if (count++ > 0) return;  // the first is named, the others counted
        missing = Quoted(file.path);
        if (file.error != ERROR_FILE_NOT_FOUND && file.error != ERROR_PATH_NOT_FOUND)
            missing += L" (error " + std::to_wstring(file.error) + L")";
    };
    if (!package.catalogEntry.empty()) note(package.catalog);
    for (const PackageFile &file : package.listedFiles) note(file);
    if (count > 0)
        return Block(id,
                     L"the driver package is incomplete: " + missing +
                         (count > 1 ? L" and " + std::to_wstring(count - 1) + L" more file(s)"
                                    : std::wstring()) +
                         L" not found",
                     L"put the driver's files (the catalog and every file the INF's "
                     L"[SourceDisksFiles] lists) beside the INF");
    return Ok(id, inf + L": the catalog and " + std::to_wstring(package.listedFiles.size()) +
                      L" listed file(s) are present");
}

// Names for the answers WinVerifyTrust gives most often (winerror.h).
struct TrustName {
    DWORD code;
    const wchar_t *text;
};
constexpr TrustName kTrustNames[] = {
    {0x800B0100, L"it carries no signature"},                          // TRUST_E_NOSIGNATURE
    {0x800B0109, L"its certificate chain ends in an untrusted root"},  // CERT_E_UNTRUSTEDROOT
    {0x800B010A, L"its certificate chain is incomplete"},              // CERT_E_CHAINING
    {0x80096010, L"its digital signature is not valid"},               // TRUST_E_BAD_DIGEST
    {0x800B0003, L"it is not a signed catalog (unknown form)"},  // TRUST_E_SUBJECT_FORM_UNKNOWN
    {0x800B0101, L"its certificate has expired"},                // CERT_E_EXPIRED
};

std::wstring TrustText(LONG status) {
    for (const TrustName &name : kTrustNames)
        if (name.code == static_cast<DWORD>(status)) return name.text;
    return L"the signature does not verify";
}

Check CatalogSignature(const PreflightFacts &f) {
    const char *id = "catalog-signature";
    if (!f.package.value)
        return Unread(id, L"the catalog's signature", L"the INF's package could not be read");
    const InfPackage &package = *f.package.value;
    if (package.catalogEntry.empty())
        return Warn(id, L"the INF names no catalog (CatalogFile): the package is unsigned",
                    L"Windows installs an unsigned package only where test-signing or "
                    L"signature enforcement settings allow it; sign the package for release");
    if (package.catalog.error != ERROR_SUCCESS)
        return Warn(
            id,
            L"the catalog " + Quoted(package.catalog.path) + L" was not verified: it is missing",
            L"see inf-package");
    if (!f.catalogTrust.value)
        return Unread(id, L"the catalog's signature", f.catalogTrust.whyUnread);
    const LONG status = *f.catalogTrust.value;
    if (status == 0) return Ok(id, L"the catalog " + Quoted(package.catalog.path) + L" verifies");
    return Warn(id,
                L"the catalog " + Quoted(package.catalog.path) + L" does not verify: " +
                    TrustText(status) + L" (" + HexCode(static_cast<DWORD>(status)) + L")",
                L"the platform decides; a test-signed package needs test-signing on and its "
                L"certificate in the machine's Trusted Root and Trusted Publishers stores");
}

Check ServiceDeletion(const PreflightFacts &f) {
    const char *id = "service-deletion";
    if (!f.package.value)
        return Unread(id, L"the driver's service", L"the INF's package could not be read");
    const std::wstring &service = f.package.value->serviceName;
    if (service.empty()) return Ok(id, L"the INF adds no service");
    if (!f.serviceMarkedForDeletion.value)
        return Unread(id, L"the service " + Quoted(service) + L"'s DeleteFlag",
                      f.serviceMarkedForDeletion.whyUnread);
    if (!*f.serviceMarkedForDeletion.value)
        return Ok(id, L"the service " + Quoted(service) + L" is not marked for deletion");
    return Block(id,
                 L"the service " + Quoted(service) +
                     L" is marked for deletion: an earlier removal waits for a restart",
                 L"restart Windows, then install");
}

Check PendingRestartCheck(const PreflightFacts &f) {
    const char *id = "pending-restart";
    const PendingRestart &p = f.pendingRestart;
    std::wstring pending, unread;
    const auto look = [&](const Reading<bool> &reading, const wchar_t *what) {
        if (!reading.value)
            unread +=
                (unread.empty() ? L"" : L"; ") + std::wstring(what) + L": " + reading.whyUnread;
        else if (*reading.value)
            pending += (pending.empty() ? L"" : L", ") + std::wstring(what);
    };
    look(p.fileRenames, L"file renames (PendingFileRenameOperations)");
    look(p.servicing, L"servicing (RebootPending)");
    look(p.update, L"updates (RebootRequired)");
    if (!pending.empty())
        return Warn(
            id, L"a restart is pending: " + pending,
            L"restart Windows first: files the install replaces may be renamed at the restart");
    if (!unread.empty()) return Unread(id, L"whether a restart is pending", unread);
    return Ok(id, L"no restart is pending");
}

Check Policy(const PreflightFacts &f) {
    const char *id = "device-install-policy";
    if (!f.policy.value) return Unread(id, L"the device installation policy", f.policy.whyUnread);
    const DeviceInstallPolicy &p = *f.policy.value;
    std::wstring rule;
    if (p.denyClasses && p.netServiceDenied)
        rule = L"policy denies the NetService class (DenyDeviceClasses)";
    else if (p.denyUnspecified && !p.netServiceAllowed)
        rule =
            L"policy denies classes it does not allow (DenyUnspecified), and NetService is not "
            L"allowed";
    if (rule.empty()) return Ok(id, L"the device installation policy allows the NetService class");
    const std::wstring advice =
        L"ask the administrator to allow the NetService class "
        L"{4D36E974-E325-11CE-BFC1-08002BE10318} "
        L"(Computer Configuration > Administrative Templates > System > Device Installation > "
        L"Device Installation Restrictions)";
    if (p.allowAdminInstall && f.process.elevated == true)
        return Warn(id, L"the " + rule + L"; AllowAdminInstall exempts administrators", advice);
    return Block(id, L"the " + rule, advice);
}

Check FilterLimit(const PreflightFacts &f) {
    const char *id = "filter-limit";
    if (!f.osVersion.value) return Unread(id, L"the Windows version", f.osVersion.whyUnread);
    const OsVersion &v = *f.osVersion.value;
    const std::wstring version = std::to_wstring(v.major) + L"." + std::to_wstring(v.minor);
    if (!HasFilterLimit(v)) return Ok(id, L"Windows " + version + L" has no filter limit");
    if (!f.maxFilters.value)
        return Unread(id, L"the filter limit (MaxNumFilters)", f.maxFilters.whyUnread);
    if (!f.lightweightFilters.value)
        return Unread(id, L"the installed lightweight filters", f.lightweightFilters.whyUnread);
    const DWORD limit = *f.maxFilters.value, installed = *f.lightweightFilters.value;
    const std::wstring fact = std::to_wstring(installed) +
                              L" lightweight filter(s) installed, limit " + std::to_wstring(limit);
    if (f.netcfg.installed == true || installed < limit) return Ok(id, fact);
    return Block(id, fact + L": the limit is reached",
                 limit < kLargestMaxFilters
                     ? L"raise HKLM\\SYSTEM\\CurrentControlSet\\Control\\Network\\MaxNumFilters "
                       L"(at most 14) "
                       L"and restart, or remove a filter"
                     : L"remove a filter: 14 is the largest limit Windows 7 accepts");
}

Check WriteLock(const PreflightFacts &f) {
    const NetCfgQuery &q = f.netcfg;
    if (!q.lockHeld)
        return Unread("write-lock", L"the network configuration's write lock",
                      // A configuration created but not asked says nothing of the lock.
                      q.failedStep.rfind(L"INetCfg::", 0) == 0 || q.failedStep.empty()
                          ? L"INetCfgLock::IsWriteLocked gave no answer"
                          : DescribeQueryFailure(q));
    if (!*q.lockHeld) return Ok("write-lock", L"the network configuration's write lock is free");
    return Warn("write-lock",
                L"the network configuration's write lock is held by " + Quoted(q.lockHolder),
                L"close that program, or try again when it is done; the install waits " +
                    std::to_wstring(ndisfilter::kLockWaitMs) + L" ms for the lock");
}

Check Component(const PreflightFacts &f) {
    const NetCfgQuery &q = f.netcfg;
    const std::wstring component = ndisfilter::kComponentId;
    if (!q.installed)
        return Unread("component", L"whether " + component + L" is installed",
                      DescribeQueryFailure(q));
    if (!*q.installed) return Ok("component", component + L" is not installed");
    return Warn("component", component + L" is already installed",
                L"uninstall it first to install it again");
}

Check InfStore(const PreflightFacts &f) {
    const char *id = "inf-store";
    const infstore::InfStoreScan &s = f.store;
    if (s.error != ERROR_SUCCESS)
        return Unread(id, L"the INF store", infstore::DescribeListingError(s));
    const size_t marked = s.Count(infstore::CopyState::Marked);
    const size_t unreadable = s.Count(infstore::CopyState::Unreadable);
    std::wstring names;
    for (const infstore::InfStoreCopy &copy : s.copies)
        if (copy.state == infstore::CopyState::Marked)
            names += (names.empty() ? L"" : L", ") + copy.name;
    const std::wstring fact = std::to_wstring(marked) + L" copy(ies) of our INF in " + s.store +
                              (names.empty() ? std::wstring() : L" (" + names + L")");
    // One copy belongs to an installed component; any other is left over.
    const size_t expected = f.netcfg.installed == true ? 1 : 0;
    if (unreadable > 0)
        return Warn(
            id,
            fact + L"; " + std::to_wstring(unreadable) + L" oem<N>.inf file(s) could not be read",
            L"an unreadable copy may be ours: look at it by hand");
    if (marked > expected)
        return Warn(id, fact + L", more than the installed component needs",
                    L"run `ndisfilterctl cleanup` when the component is not installed");
    return Ok(id, fact);
}

Check RemoteSession(const PreflightFacts &f) {
    if (!f.remoteSession.value)
        return Unread("remote-session", L"whether this is a remote session",
                      f.remoteSession.whyUnread);
    if (!*f.remoteSession.value) return Ok("remote-session", L"a local session");
    return Warn("remote-session", L"a remote session",
                L"the network stack rebinds during the install and drops connections for a moment: "
                L"expect the remote session to stall or reconnect");
}

}  // namespace

std::wstring EmulatingMachine(const ProcessFacts &process, const std::wstring &nativeMachine) {
    // Arm64 Windows runs x86 and x64 programs by emulation; an x64 processor
    // runs x86 code itself (WOW64).
    const std::wstring &program = process.programArchitecture;
    const bool emulated = nativeMachine == L"arm64" && (program == L"x64" || program == L"x86");
    return emulated ? nativeMachine : std::wstring();
}

const char *VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Warning:
            return "warning";
        case Verdict::Blocked:
            break;
    }
    return "blocked";
}

PreflightSummary Summarize(const std::vector<Check> &checks) {
    PreflightSummary summary;
    bool otherBlock = false;
    for (const Check &check : checks) {
        if (check.verdict == Verdict::Ok) ++summary.ok;
        if (check.verdict == Verdict::Warning) ++summary.warnings;
        if (check.unread) ++summary.unread;
        if (check.verdict != Verdict::Blocked) continue;
        ++summary.blocked;
        if (std::string(check.id) != "service-deletion") otherBlock = true;
    }
    summary.exitCode = summary.blocked == 0 ? 0 : otherBlock ? kExitBlocked : kExitRestartFirst;
    return summary;
}

std::wstring DescribeSummary(const PreflightSummary &s) {
    std::wstring text = std::to_wstring(s.blocked) + L" blocked, " + std::to_wstring(s.warnings) +
                        (s.warnings == 1 ? L" warning" : L" warnings");
    if (s.unread > 0) text += L" (" + std::to_wstring(s.unread) + L" could not be read)";
    return text + L", " + std::to_wstring(s.ok) + L" ok";
}

std::wstring DescribeCheck(const Check &check) {
    constexpr size_t kVerdictColumn = 9;  // "warning" and two blanks: the facts line up
    const std::string verdict = VerdictName(check.verdict);
    std::wstring line(verdict.begin(), verdict.end());
    line.resize(kVerdictColumn, L' ');
    const std::string id = check.id;
    line += std::wstring(id.begin(), id.end()) + L": " + check.fact;
    if (!check.advice.empty()) line += L"; to do: " + check.advice;
    return line;
}

PreflightResult EvaluatePreflight(const PreflightFacts &facts) {
    PreflightResult result;
    result.checks = {Elevation(facts),        Architecture(facts),    InfPackageCheck(facts),
                     CatalogSignature(facts), ServiceDeletion(facts), PendingRestartCheck(facts),
                     Policy(facts),           FilterLimit(facts),     WriteLock(facts),
                     Component(facts),        InfStore(facts),        RemoteSession(facts)};
    result.summary = Summarize(result.checks);
    return result;
}

}  // namespace ndisfilter::tools
