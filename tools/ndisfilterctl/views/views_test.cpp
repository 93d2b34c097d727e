// The views alone: a hand-built record of each command and stage, rendered
// as the text an operator reads and the JSON a script parses (key order
// included). No machine, no library.
#include <gtest/gtest.h>

#include "commands/context.h"
#include "views/json_view.h"
#include "views/report_view.h"
#include "views/text_view.h"

namespace ndisfilterctl {
namespace {

using State = store::CopyState;

store::InfStoreCopy Copy(const wchar_t *name, State state) {
    store::InfStoreCopy copy;
    copy.name = name;
    copy.path = std::wstring(L"C:\\WINDOWS\\inf\\") + name;
    copy.state = state;
    copy.pnfTwin = state == State::Marked;
    if (state == State::Unreadable) copy.readError = ERROR_ACCESS_DENIED;
    return copy;
}

store::InfStoreScan Scan(std::vector<store::InfStoreCopy> copies, DWORD error = ERROR_SUCCESS) {
    store::InfStoreScan scan;
    scan.store = L"C:\\WINDOWS\\inf";
    scan.copies = std::move(copies);
    scan.error = error;
    return scan;
}

store::CleanupReport Cleaned(const store::InfStoreScan &before, const store::InfStoreScan &after,
                             store::CleanupOutcome outcome, DWORD error = ERROR_SUCCESS) {
    store::CleanupReport report{outcome == store::CleanupOutcome::WouldRemove, before, {}, after};
    for (const store::InfStoreCopy &copy : before.copies)
        report.results.push_back({copy, outcome, error, false, ERROR_SUCCESS});
    return report;
}

// The exit codes are the host build's.
RunEnd End(ExitStatus exit, std::optional<std::wstring> error = std::nullopt,
           std::optional<Reason> reason = std::nullopt) {
    return {exit, ExitCodesFor(true).CodeFor(exit), std::move(error), std::move(reason)};
}

// JSON pieces the expectations share.
std::string Component(const char *before, const char *after) {
    return std::string(R"("component":{"id":"ZQ_DorvaneV","installedBefore":)") + before +
           R"(,"installedAfter":)" + after + "},";
}
std::string StorePath() { return R"("path":"C:\\WINDOWS\\inf"})"; }
std::string CopyJson(const char *name, bool pnf) {
    return std::string(R"({"name":")") + name + R"(","path":"C:\\WINDOWS\\inf\\)" + name +
           R"(","state":"marked","utf16":false,"pnf":)" + (pnf ? "true" : "false") +
           R"(,"error":null})";
}

struct ViewCase {
    const char *what;
    TextOutput text;
    std::string json;
    std::wstring out, err;
    std::string expectedJson;
};

template <typename Record>
ViewCase Case(const char *what, const Record &record, std::wstring out, std::wstring err,
              const std::string &json) {
    return {what,           RenderText(record), Json(record).dump(),
            std::move(out), std::move(err),     Json::parse(json).dump()};
}

ViewCase StatusCases(bool found) {
    StatusRecord record;
    record.library = {L"/l.so", found,
                      found ? std::optional<std::wstring>(L"1.2.3.4") : std::nullopt};
    if (!found) {
        record.end = End(ExitStatus::StateUnknown, L"machine.txt line 2: unknown entry");
        return Case("status, machine refused", record, L"",
                    L"status: machine.txt line 2: unknown entry\n",
                    R"({"command":"status","outcome":"unknown","exitCode":7,"flags":null,)"
                    R"("reason":null,"error":"machine.txt line 2: unknown entry",)" +
                        Component("null", "null") +
                        R"("infStore":{"before":[],"after":[]},)"
                        R"("library":{"path":"/l.so","found":false,"version":null}})");
    }
    record.end = End(ExitStatus::Success);
    StatusFacts facts;
    facts.query.installed = facts.query.lockHeld = true;
    facts.query.lockHolder = L"Other Setup";
    facts.store = Scan({Copy(L"oem3.inf", State::Marked), Copy(L"oem7.inf", State::Unreadable),
                        Copy(L"oem8.inf", State::Unmarked)});
    facts.store.copies[0].utf16 = true;
    facts.process = {false, true, L"x86", L"x64"};
    record.found = facts;
    const std::string copies =
        R"([{"name":"oem3.inf","path":"C:\\WINDOWS\\inf\\oem3.inf","state":"marked",)"
        R"("utf16":true,"pnf":true,"error":null},{"name":"oem7.inf","path":)"
        R"("C:\\WINDOWS\\inf\\oem7.inf","state":"unreadable","utf16":false,"pnf":false,"error":5}])";
    return Case("status, installed", record,
                L"component ZQ_DorvaneV: installed\nwrite lock: held by \"Other Setup\"\n"
                L"INF store C:\\WINDOWS\\inf: 1 marked copy\n  oem3.inf (UTF-16); .PNF present\n"
                L"  oem7.inf: could not be read (error 5)\n"
                L"library: /l.so (version 1.2.3.4)\n"
                L"program: x86; operating system: x64; elevated: no\n",
                L"",
                R"({"command":"status","outcome":"installed","exitCode":0,"flags":null,)"
                R"("reason":null,"error":null,)" +
                    Component("true", "true") + R"("infStore":{"before":)" + copies +
                    R"(,"after":)" + copies + "," + StorePath() +
                    R"(,"library":{"path":"/l.so","found":true,"version":"1.2.3.4"},)"
                    R"("lock":{"held":true,"holder":"Other Setup"},"process":{"elevated":false,)"
                    R"("wow64":true,"programArchitecture":"x86","systemArchitecture":"x64",)"
                    R"("nativeArchitecture":"x64"}})");
}

// An x64 program on arm64 Windows: GetNativeSystemInfo says x64 to it, the
// native machine is arm64.
ViewCase StatusEmulated() {
    StatusRecord record;
    record.library = {L"/l.so", false, std::nullopt};
    record.end = End(ExitStatus::NotInstalled);
    StatusFacts facts;
    facts.query.installed = facts.query.lockHeld = false;
    facts.store = Scan({});
    facts.process = {true, false, L"x64", L"x64"};
    facts.nativeMachine = L"arm64";
    record.found = facts;
    return Case("status, x64 emulated on arm64", record,
                L"component ZQ_DorvaneV: not installed\nwrite lock: free\n"
                L"INF store C:\\WINDOWS\\inf: 0 marked copies\nlibrary: /l.so (not found)\n"
                L"program: x64; operating system: arm64 (x64 emulated); elevated: yes\n",
                L"",
                R"({"command":"status","outcome":"not-installed","exitCode":6,"flags":null,)"
                R"("reason":null,"error":null,)" +
                    Component("false", "false") + R"("infStore":{"before":[],"after":[],)" +
                    StorePath() + R"(,"library":{"path":"/l.so","found":false,"version":null},)"
                    R"("lock":{"held":false,"holder":null},"process":{"elevated":true,)"
                    R"("wow64":false,"programArchitecture":"x64","systemArchitecture":"x64",)"
                    R"("nativeArchitecture":"arm64"}})");
}

// An uninstall whose clean-up could not remove a copy, with --verbose.
ViewCase UninstallLeavingACopy() {
    OperationRecord record;
    record.operation.action = Action::Uninstall;
    record.operation.retry = true;
    const store::InfStoreScan before = Scan({Copy(L"oem0.inf", State::Marked),
                                             Copy(L"oem60.inf", State::Marked)}),
                              after = Scan({Copy(L"oem60.inf", State::Marked)});
    record.end =
        End(ExitStatus::Failed, std::nullopt, Reason{{}, CopiesRemain{{}, {L"oem60.inf"}}, {}});
    record.library = LibraryFacts{L"/l.so", true, std::nullopt};
    record.component = {true, false};
    record.infStore = StoreListing{before, after};
    record.outcome = {true, L"", TRUE, TRUE, FALSE, FALSE};
    record.removedByLibrary = {L"oem0.inf"};
    record.cleanup =
        Cleaned(after, after, store::CleanupOutcome::UninstallFailed, ERROR_ACCESS_DENIED);
    record.changes =
        MachineChanges{L"the simulated machine /m", {true, {L"ZQ_DorvaneV"}, {}}, {true, {}, {}}};
    return Case(
        "uninstall, a copy remains", record,
        L"  oem60.inf: SetupUninstallOEMInfW failed (error 5)\n"
        L"uninstall with retry: failed; flags: restart required; INF copies removed by the "
        L"library: oem0.inf; by the clean-up: none\n"
        L"reason: marked INF copies remain in the INF store: oem60.inf\n"
        L"changes on the simulated machine /m:\n  component ZQ_DorvaneV removed\n",
        L"",
        R"({"command":"uninstall","outcome":"failed","exitCode":1,"flags":{"restartRequired":true,)"
        R"("cancelled":false,"timedOut":false},"reason":{"kind":"inf-copies-remain","text":)"
        R"("marked INF copies remain in the INF store: oem60.inf"},"error":null,)" +
            Component("true", "false") + R"("infStore":{"before":[)" + CopyJson("oem0.inf", true) +
            "," + CopyJson("oem60.inf", true) + R"(],"after":[)" + CopyJson("oem60.inf", true) +
            "]," + StorePath() +
            R"(,"library":{"path":"/l.so","found":true,"version":null},)"
            R"("operation":"uninstall with retry","removedByLibrary":["oem0.inf"],)"
            R"("cleanup":[{"name":"oem60.inf","outcome":"SetupUninstallOEMInfW failed",)"
            R"("removed":false,"error":5,"pnfRemains":false}],"removedByCleanup":[]})");
}

// An uninstall of what is not there: the clean-up's keys come first.
ViewCase UninstallOfNothing() {
    OperationRecord record;
    record.operation.action = Action::Uninstall;
    record.stage = OperationStage::NotInstalled;
    record.end = End(ExitStatus::Success);
    record.component = {false, false};
    const store::InfStoreScan before = Scan({Copy(L"oem5.inf", State::Marked)}), after = Scan({});
    record.infStore = StoreListing{before, after};
    record.removedByLibrary.emplace();
    record.cleanup = Cleaned(before, after, store::CleanupOutcome::Removed);
    return Case("uninstall, not installed", record,
                L"uninstall: not installed; nothing to remove; INF copies removed by the "
                L"clean-up: oem5.inf\n",
                L"",
                R"({"command":"uninstall","outcome":"not-installed","exitCode":0,"flags":null,)"
                R"("reason":null,"error":null,)" +
                    Component("false", "false") + R"("infStore":{"before":[)" +
                    CopyJson("oem5.inf", true) + R"(],"after":[],)" + StorePath() +
                    R"(,"library":null,"operation":"uninstall","cleanup":[{"name":"oem5.inf",)"
                    R"("outcome":"removed","removed":true,"error":null,"pnfRemains":false}],)"
                    R"("removedByLibrary":[],"removedByCleanup":["oem5.inf"]})");
}

ViewCase InstallRefused() {
    OperationRecord record;
    record.stage = OperationStage::RefusedInf;
    record.inf = L"/x.inf";
    record.end =
        End(ExitStatus::Failed, std::nullopt,
            Reason{{diag::FailureKind::InfMissing, L"the INF \"/x.inf\" does not exist"}, {}, {}});
    return Case(
        "install, --inf missing", record,
        L"install: not run\nreason: the INF \"/x.inf\" does not exist\n", L"",
        R"({"command":"install","outcome":"refused","exitCode":1,"flags":null,"reason":)"
        R"({"kind":"inf-missing","text":"the INF \"/x.inf\" does not exist"},"error":null,)" +
            Component("null", "null") +
            R"("infStore":{"before":[],)"
            R"("after":[]},"library":null,"operation":"install","inf":"/x.inf"})");
}

ViewCase InstallEmulated() {
    OperationRecord record;
    record.stage = OperationStage::RefusedMachine;
    Refusal refusal{Refusal::Kind::EmulatedProgram, {}, L"x64", L"arm64"};
    record.end = End(ExitStatus::Failed, std::nullopt, Reason{{}, {}, refusal});
    const std::string text =
        "this x64 program runs emulated on arm64 Windows, where a driver built for x64 cannot "
        "load: the driver package must be built for arm64 and installed by the tools built for "
        "arm64";
    return Case("install, emulated on arm64", record,
                L"install: not run\nreason: " + std::wstring(text.begin(), text.end()) + L"\n", L"",
                R"({"command":"install","outcome":"refused","exitCode":1,"flags":null,"reason":)"
                R"({"kind":"emulated-program","text":")" +
                    text + R"("},"error":null,)" + Component("null", "null") +
                    R"("infStore":{"before":[],"after":[]},"library":null,"operation":"install"})");
}

// cleanup while the component is installed: refused, the copies listed.
ViewCase CleanupRefused() {
    CleanupRecord record;
    record.refused = true;
    record.component = {true, true};
    const store::InfStoreScan scan = Scan({Copy(L"oem1.inf", State::Marked)});
    record.report = store::CleanupReport{false, scan, {}, scan};
    record.end = End(ExitStatus::Failed, std::nullopt, Reason{{}, {}, Refusal{}});
    const std::string text =
        "ZQ_DorvaneV is installed: uninstall it first (--force removes the copies anyway)";
    return Case("cleanup, refused while installed", record,
                L"cleanup: refused; 1 marked copy left in C:\\WINDOWS\\inf\nreason: " +
                    std::wstring(text.begin(), text.end()) + L"\n",
                L"",
                R"({"command":"cleanup","outcome":"refused","exitCode":1,"flags":null,)"
                R"("reason":{"kind":"component-installed","text":")" +
                    text + R"("},"error":null,)" + Component("true", "true") +
                    R"("infStore":{"before":[)" + CopyJson("oem1.inf", true) + R"(],"after":[)" +
                    CopyJson("oem1.inf", true) + "]," + StorePath() +
                    R"(,"library":null,"cleanup":[]})");
}

// A failed install the setup log explains: its line is the reason, its code
// and section are in the JSON beside the diagnosis's kind.
ViewCase InstallTheLogExplains() {
    OperationRecord record;
    diag::SetupLogSection section;
    section.title = L"Device Install (DiInstallDriver) - C:\\m\\DorvaneV.inf";
    section.start = {2026, 12, 9, 13, 46, 1, 123};
    section.exitStatus = L"FAILURE(0xe0000248)";
    section.code = 0xE0000248;
    section.cause = diag::SetupLogCause::PolicyForbids;
    Reason reason{{diag::FailureKind::Unknown, L"unknown"}, {}};
    reason.setupLog = diag::SetupLogFailure{section, L"forbidden"};
    record.end = End(ExitStatus::Failed, std::nullopt, reason);
    record.outcome = {true, L"", FALSE, FALSE, FALSE, FALSE};
    return Case("install, the setup log's code", record,
                L"install: failed; flags: none\nreason: forbidden\n", L"",
                R"({"command":"install","outcome":"failed","exitCode":1,"flags":{)"
                R"("restartRequired":false,"cancelled":false,"timedOut":false},"reason":{)"
                R"("kind":"unknown","text":"forbidden","code":"0xE0000248","codeName":)"
                R"("ERROR_DEVICE_INSTALL_BLOCKED","cause":"policy-forbids","section":{"title":)"
                R"("Device Install (DiInstallDriver) - C:\\m\\DorvaneV.inf","start":)"
                R"x("2026/12/09 13:46:01.123","exitStatus":"FAILURE(0xe0000248)"}},"error":null,)x" +
                    Component("null", "null") +
                    R"("infStore":{"before":[],"after":[]},"library":null,"operation":"install"})");
}

ViewCase CleanupCase(bool listed) {
    CleanupRecord record;
    record.dryRun = listed;
    if (!listed) {
        const store::InfStoreScan unlisted = Scan({}, ERROR_PATH_NOT_FOUND);
        record.end = End(ExitStatus::Failed, store::DescribeListingError(unlisted));
        record.report = Cleaned(unlisted, unlisted, store::CleanupOutcome::Removed);
        return Case(
            "cleanup, store not listed", record,
            L"cleanup: failed; the INF store C:\\WINDOWS\\inf could not be listed (error 3)\n", L"",
            R"({"command":"cleanup","outcome":"failed","exitCode":1,"flags":null,)"
            R"x("reason":null,"error":"the INF store C:\\WINDOWS\\inf could not be listed (error 3)",)x" +
                Component("null", "null") +
                R"("infStore":{"before":[],)"
                R"("after":[],)" +
                StorePath() + R"(,"library":null,"cleanup":[]})");
    }
    const store::InfStoreScan scan = Scan({Copy(L"oem1.inf", State::Marked)});
    record.end = End(ExitStatus::Success);
    record.report = Cleaned(scan, scan, store::CleanupOutcome::WouldRemove);
    return Case("cleanup --dry-run", record,
                L"oem1.inf: would be removed\n"
                L"cleanup --dry-run: 1 marked copy would be removed from C:\\WINDOWS\\inf\n",
                L"",
                R"({"command":"cleanup","outcome":"succeeded","exitCode":0,"flags":null,)"
                R"("reason":null,"error":null,)" +
                    Component("null", "null") + R"("infStore":{"before":[)" +
                    CopyJson("oem1.inf", true) + R"(],"after":[)" + CopyJson("oem1.inf", true) +
                    "]," + StorePath() +
                    R"(,"library":null,"cleanup":[{"name":"oem1.inf",)"
                    R"("outcome":"would be removed","removed":false,"error":null,)"
                    R"("pnfRemains":false}]})");
}

// Only the service marked for deletion blocks (350 on Windows); a warning
// the machine showed, and one that could not be read.
diag::PreflightResult Checked() {
    std::vector<diag::Check> checks{
        {"service-deletion", diag::Verdict::Blocked, false, L"marked", L"restart"},
        {"remote-session", diag::Verdict::Warning, false, L"remote", L"expect a stall"},
        {"pending-restart", diag::Verdict::Warning, true, L"unread", L"look"}};
    return {checks, diag::Summarize(checks)};
}
std::string CommonJson(const char *command, const char *outcome, const char *reason) {
    return std::string(R"({"command":")") + command + R"(","outcome":")" + outcome +
           R"(","exitCode":9,"flags":null,"reason":)" + reason + R"(,"error":null,)" +
           Component("null", "null") + R"("infStore":{"before":[],"after":[]},"library":null,)";
}
const char *const kChecksJson =
    R"({"checks":[{"id":"service-deletion","verdict":"blocked","unread":false,"fact":"marked",)"
    R"("advice":"restart"},{"id":"remote-session","verdict":"warning","unread":false,"fact":)"
    R"("remote","advice":"expect a stall"},{"id":"pending-restart","verdict":"warning","unread":)"
    R"(true,"fact":"unread","advice":"look"}],"summary":{"ok":0,"warnings":2,"blocked":1,)"
    R"("unread":1,"text":"1 blocked, 2 warnings (1 could not be read), 0 ok"}})";

ViewCase CheckRestartFirst() {
    CheckRecord record{{}, L"/d.inf", Checked()};
    record.end = End(ExitOfChecks(record.result->summary));
    std::string json = CommonJson("check", "restart-first", "null") + R"("inf":"/d.inf",)" +
                       std::string(kChecksJson).substr(1);  // its keys in the object
    return Case("check, restart first", record,
                L"blocked  service-deletion: marked; to do: restart\n"
                L"warning  remote-session: remote; to do: expect a stall\n"
                L"warning  pending-restart: unread; to do: look\n"
                L"check: 1 blocked, 2 warnings (1 could not be read), 0 ok\n",
                L"", json);
}

// A blocking check refuses the install: its warnings go to standard error.
ViewCase InstallRefusedByCheck() {
    OperationRecord record;
    record.stage = OperationStage::RefusedByCheck;
    record.preflight = Checked();
    record.end = End(ExitOfChecks(record.preflight->summary), std::nullopt,
                     BlockedReason(*record.preflight));
    return Case("install, refused by a check", record,
                L"install: not run\nreason: marked; restart\n",
                L"check: warning  remote-session: remote; to do: expect a stall\n"
                L"check: 1 check(s) could not be read; `ndisfilterctl check` lists them\n",
                CommonJson("install", "refused",
                           R"({"kind":"preflight-service-deletion","text":"marked; restart"})") +
                    R"("operation":"install","preflight":)" + kChecksJson + "}");
}

TEST(Views, EachRecordReadsTheSameAsTextAndAsJson) {
    const ViewCase cases[] = {StatusCases(true),    StatusCases(false), UninstallLeavingACopy(),
                              UninstallOfNothing(), InstallRefused(),   CleanupCase(true),
                              CleanupCase(false),   StatusEmulated(),   InstallEmulated(),
                              CleanupRefused(),       CheckRestartFirst(), InstallRefusedByCheck(),
                              InstallTheLogExplains()};
    for (const ViewCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.text.out, c.out);
        EXPECT_EQ(c.text.err, c.err);
        EXPECT_EQ(c.json, c.expectedJson);
    }
}

// A hand-built report: each source under its key, a value that could not
// be read with its reason, the included log as text.
TEST(Views, TheReportKeepsEachSourceUnderItsKey) {
    ReportRecord record;
    record.programVersion = L"1.0.0";
    record.status.library = {L"/l.so", true, L"1.2.3.4"};
    record.facts.osVersion = diag::Reading<diag::OsVersion>::Of({6, 1, 7601});
    record.facts.policy = diag::Reading<diag::DeviceInstallPolicy>::Unread(L"access denied (error 5)");
    record.facts.store = Scan({Copy(L"oem2.inf", State::Unmarked)});
    record.maxNumFilters = diag::Reading<DWORD>::Of(14);
    record.checks.checks = {{"elevation", diag::Verdict::Blocked, false, L"not elevated", L"elevate"}};
    record.checks.summary = diag::Summarize(record.checks.checks);
    record.services.services = {{L"ms_ndiscap", L"NDIS Capture", 0x40000}};
    record.setupLog.emplace(1);
    record.setupLog->at(0).title = L"SetupCopyOEMInf - DorvaneV.inf";
    record.includedLogs = {{L"/m.log", L"", "z\n", "utf-16le", true},
                           {L"/n.log", L"error 2"}};
    const Json json = record;
    const struct {
        const char *pointer;
        Json expected;
    } rows[] = {
        {"/program/version", "1.0.0"},
        {"/status/library/version", "1.2.3.4"},
        {"/system/version/value/build", 7601},
        {"/values/deviceInstallPolicy", {{"value", nullptr}, {"error", "access denied (error 5)"}}},
        {"/values/filterLimit/appliesToThisSystem", true},
        {"/values/filterLimit/maxNumFilters/value", 14},
        {"/checks/exitCode", 1603},
        {"/checks/checks/0/advice", "elevate"},
        {"/networkServices/services/0", {{"id", "ms_ndiscap"}, {"displayName", "NDIS Capture"},
                                         {"characteristics", "0x00040000"}}},
        {"/infStore/copies/0/state", "unmarked"},
        {"/setupLog/readable", true},
        {"/setupLog/sections/0/end", nullptr},
        {"/includedLogs/0/text", "z\n"},
        {"/includedLogs/0/encoding", "utf-16le"},
        {"/includedLogs/1/text", nullptr},
        {"/includedLogs/1/error", "error 2"},
    };
    for (const auto &row : rows) EXPECT_EQ(json.at(Json::json_pointer(row.pointer)), row.expected) << row.pointer;
}

}  // namespace
}  // namespace ndisfilterctl
