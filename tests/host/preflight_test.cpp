// The pre-flight evaluation (tools/common/preflight.h): hand-built facts,
// one table row per cause, each with the check it must change, its verdict,
// a piece of its fact, and the exit decision.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tools/common/preflight.h"

using namespace ndisfilter::tools;

namespace {

// A machine where everything is fine.
PreflightFacts Healthy() {
    PreflightFacts f;
    f.process.elevated = true;
    f.process.wow64 = false;
    f.process.programArchitecture = f.process.systemArchitecture = f.nativeMachine = L"x64";
    f.osVersion = Reading<OsVersion>::Of({10, 0, 19045});
    f.infPath = L"C:\\pkg\\DorvaneV.inf";
    InfPackage package;
    package.catalogEntry = L"CatalogFile.NTamd64";
    package.catalog = {L"C:\\pkg\\DorvaneV.cat", ERROR_SUCCESS};
    package.listedFiles = {{L"C:\\pkg\\DorvaneV.sys", ERROR_SUCCESS}};
    package.serviceName = L"DorvaneV";
    f.package = Reading<InfPackage>::Of(package);
    f.catalogTrust = Reading<LONG>::Of(0);
    f.serviceMarkedForDeletion = Reading<bool>::Of(false);
    f.pendingRestart = {Reading<bool>::Of(false), Reading<bool>::Of(false),
                        Reading<bool>::Of(false)};
    f.policy = Reading<DeviceInstallPolicy>::Of({});
    f.maxFilters = f.lightweightFilters = Reading<DWORD>::Unread(L"not read");
    f.netcfg.installed = false;
    f.netcfg.lockHeld = false;
    f.remoteSession = Reading<bool>::Of(false);
    return f;
}

PreflightFacts Windows7(DWORD limit, DWORD installed) {
    PreflightFacts f = Healthy();
    f.osVersion = Reading<OsVersion>::Of({6, 1, 7601});
    f.maxFilters = Reading<DWORD>::Of(limit);
    f.lightweightFilters = Reading<DWORD>::Of(installed);
    return f;
}

InfPackage &Package(PreflightFacts &f) { return *f.package.value; }

struct Row {
    const char *name;
    std::function<void(PreflightFacts &)> change;
    const char *id;
    Verdict verdict;
    bool unread;
    const wchar_t *factPart;
    int exitCode;
};

const Row kRows[] = {
    {"not elevated", [](auto &f) { f.process.elevated = false; }, "elevation", Verdict::Blocked,
     false, L"not elevated", 1603},
    {"elevation unknown", [](auto &f) { f.process.elevated.reset(); }, "elevation",
     Verdict::Warning, true, L"could not be read", 0},
    {"WOW64",
     [](auto &f) {
         f.process.wow64 = true;
         f.process.programArchitecture = L"x86";
     },
     "architecture", Verdict::Blocked, false, L"program x86 on x64 Windows (WOW64)", 1603},
    {"x64 emulated on arm64", [](auto &f) { f.nativeMachine = L"arm64"; }, "architecture",
     Verdict::Blocked, false, L"program x64 on arm64 Windows (emulated)", 1603},
    {"INF missing", [](auto &f) { f.inf.state = InfCheck::State::Missing; }, "inf-package",
     Verdict::Blocked, false, L"does not exist", 1603},
    {"INF unreadable",
     [](auto &f) {
         f.inf = {InfCheck::State::Unreadable, ERROR_ACCESS_DENIED};
     },
     "inf-package", Verdict::Blocked, false, L"cannot be read (error 5)", 1603},
    {"INF does not parse",
     [](auto &f) { f.package = Reading<InfPackage>::Unread(L"SetupOpenInfFileW failed"); },
     "inf-package", Verdict::Warning, true, L"could not be read: SetupOpenInfFileW failed", 0},
    {"named catalog missing", [](auto &f) { Package(f).catalog.error = ERROR_FILE_NOT_FOUND; },
     "inf-package", Verdict::Blocked, false, L"\"C:\\pkg\\DorvaneV.cat\" not found", 1603},
    {"listed file missing",
     [](auto &f) {
         Package(f).listedFiles.push_back({L"C:\\pkg\\x.dll", ERROR_PATH_NOT_FOUND});
         Package(f).listedFiles.push_back({L"C:\\pkg\\y.dll", ERROR_ACCESS_DENIED});
     },
     "inf-package", Verdict::Blocked, false, L"\"C:\\pkg\\x.dll\" and 1 more file(s) not found",
     1603},
    {"no catalog named", [](auto &f) { Package(f).catalogEntry.clear(); }, "catalog-signature",
     Verdict::Warning, false, L"names no catalog", 0},
    {"catalog unsigned",
     [](auto &f) { f.catalogTrust = Reading<LONG>::Of(static_cast<LONG>(0x800B0100)); },
     "catalog-signature", Verdict::Warning, false, L"carries no signature (0x800B0100)", 0},
    {"wintrust unavailable",
     [](auto &f) { f.catalogTrust = Reading<LONG>::Unread(L"no wintrust"); }, "catalog-signature",
     Verdict::Warning, true, L"could not be read: no wintrust", 0},
    {"service marked for deletion",
     [](auto &f) { f.serviceMarkedForDeletion = Reading<bool>::Of(true); }, "service-deletion",
     Verdict::Blocked, false, L"\"DorvaneV\" is marked for deletion", 350},
    {"DeleteFlag of the wrong type",
     [](auto &f) {
         f.serviceMarkedForDeletion = Reading<bool>::Unread(L"is REG_SZ, not REG_DWORD");
     },
     "service-deletion", Verdict::Warning, true, L"DeleteFlag could not be read: is REG_SZ", 0},
    {"file renames pending",
     [](auto &f) { f.pendingRestart.fileRenames = Reading<bool>::Of(true); }, "pending-restart",
     Verdict::Warning, false, L"file renames", 0},
    {"update reboot unreadable",
     [](auto &f) { f.pendingRestart.update = Reading<bool>::Unread(L"error 5"); },
     "pending-restart", Verdict::Warning, true, L"updates (RebootRequired): error 5", 0},
    {"class denied",
     [](auto &f) { f.policy.value->denyClasses = f.policy.value->netServiceDenied = true; },
     "device-install-policy", Verdict::Blocked, false, L"denies the NetService class", 1603},
    {"class denied, administrators exempt",
     [](auto &f) {
         f.policy.value->denyClasses = f.policy.value->netServiceDenied = true;
         f.policy.value->allowAdminInstall = true;
     },
     "device-install-policy", Verdict::Warning, false, L"AllowAdminInstall exempts", 0},
    {"list without NetService", [](auto &f) { f.policy.value->denyClasses = true; },
     "device-install-policy", Verdict::Ok, false, L"allows", 0},
    {"unspecified denied", [](auto &f) { f.policy.value->denyUnspecified = true; },
     "device-install-policy", Verdict::Blocked, false, L"DenyUnspecified", 1603},
    {"unspecified denied, NetService allowed",
     [](auto &f) { f.policy.value->denyUnspecified = f.policy.value->netServiceAllowed = true; },
     "device-install-policy", Verdict::Ok, false, L"allows", 0},
    {"policy key not readable",
     [](auto &f) { f.policy = Reading<DeviceInstallPolicy>::Unread(L"access denied"); },
     "device-install-policy", Verdict::Warning, true, L"could not be read: access denied", 0},
    {"Windows 7, limit reached", [](auto &f) { f = Windows7(8, 8); }, "filter-limit",
     Verdict::Blocked, false, L"8 lightweight filter(s) installed, limit 8", 1603},
    {"Windows 7, room left", [](auto &f) { f = Windows7(14, 13); }, "filter-limit", Verdict::Ok,
     false, L"13 lightweight filter(s) installed, limit 14", 0},
    {"Windows 7, ours among them",
     [](auto &f) {
         f = Windows7(8, 8);
         f.netcfg.installed = true;
     },
     "filter-limit", Verdict::Ok, false, L"limit 8", 0},
    {"Windows 7, MaxNumFilters out of range",
     [](auto &f) {
         f = Windows7(8, 1);
         f.maxFilters = Reading<DWORD>::Unread(L"is 20, outside 1..14");
     },
     "filter-limit", Verdict::Warning, true, L"is 20, outside 1..14", 0},
    {"version unknown",
     [](auto &f) { f.osVersion = Reading<OsVersion>::Unread(L"no RtlGetVersion"); }, "filter-limit",
     Verdict::Warning, true, L"Windows version could not be read", 0},
    {"lock held",
     [](auto &f) {
         f.netcfg.lockHeld = true;
         f.netcfg.lockHolder = L"Other Setup";
     },
     "write-lock", Verdict::Warning, false, L"held by \"Other Setup\"", 0},
    {"configuration silent",
     [](auto &f) {
         f.netcfg.lockHeld.reset();
         f.netcfg.installed.reset();
         f.netcfg.failedStep = L"no answer within 5000 ms";
         f.netcfg.answered = false;
     },
     "write-lock", Verdict::Warning, true, L"no answer within 5000 ms", 0},
    {"already installed", [](auto &f) { f.netcfg.installed = true; }, "component", Verdict::Warning,
     false, L"already installed", 0},
    {"left-over INF copies",
     [](auto &f) {
         f.store.copies = {{L"oem3.inf", L"", ndisfilter::infstore::CopyState::Marked}};
     },
     "inf-store", Verdict::Warning, false, L"1 copy(ies) of our INF", 0},
    {"store not listed", [](auto &f) { f.store.error = ERROR_ACCESS_DENIED; }, "inf-store",
     Verdict::Warning, true, L"could not be read", 0},
    {"remote session", [](auto &f) { f.remoteSession = Reading<bool>::Of(true); }, "remote-session",
     Verdict::Warning, false, L"a remote session", 0},
};

const Check &Find(const PreflightResult &result, const std::string &id) {
    for (const Check &check : result.checks)
        if (id == check.id) return check;
    throw std::runtime_error("no check " + id);
}

}  // namespace

TEST(Preflight, HealthyMachineIsAllOk) {
    const PreflightResult result = EvaluatePreflight(Healthy());
    ASSERT_EQ(result.checks.size(), std::size(kCheckIds));
    for (size_t i = 0; i < result.checks.size(); ++i) {
        EXPECT_STREQ(result.checks[i].id, kCheckIds[i]);
        EXPECT_EQ(result.checks[i].verdict, Verdict::Ok) << result.checks[i].id;
        EXPECT_TRUE(result.checks[i].advice.empty()) << result.checks[i].id;
    }
    EXPECT_EQ(result.summary.exitCode, 0);
    EXPECT_EQ(DescribeSummary(result.summary), L"0 blocked, 0 warnings, 12 ok");
}

TEST(Preflight, EachCauseChangesItsCheck) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        PreflightFacts facts = Healthy();
        row.change(facts);
        const PreflightResult result = EvaluatePreflight(facts);
        const Check &check = Find(result, row.id);
        EXPECT_STREQ(VerdictName(check.verdict), VerdictName(row.verdict));
        EXPECT_EQ(check.unread, row.unread);
        EXPECT_NE(check.fact.find(row.factPart), std::wstring::npos)
            << std::string(check.fact.begin(), check.fact.end());
        EXPECT_EQ(check.advice.empty(), row.verdict == Verdict::Ok);
        EXPECT_EQ(result.summary.exitCode, row.exitCode);
    }
}

TEST(Preflight, ExitDecision) {
    PreflightFacts facts = Healthy();
    facts.serviceMarkedForDeletion = Reading<bool>::Of(true);
    facts.remoteSession = Reading<bool>::Of(true);
    facts.catalogTrust = Reading<LONG>::Unread(L"no wintrust");
    PreflightSummary summary = EvaluatePreflight(facts).summary;
    EXPECT_EQ(summary.exitCode, kExitRestartFirst);  // warnings do not change it
    EXPECT_EQ(DescribeSummary(summary), L"1 blocked, 2 warnings (1 could not be read), 9 ok");
    facts.process.elevated = false;  // anything else that blocks wins
    summary = EvaluatePreflight(facts).summary;
    EXPECT_EQ(summary.exitCode, kExitBlocked);
    EXPECT_EQ(summary.blocked, 2u);
}
