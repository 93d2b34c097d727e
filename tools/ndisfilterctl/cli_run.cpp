// ndisfilterctl's flow: parse, load the library, run one operation on the
// machine, report, exit with a code deployment tools understand.
#include <windows.h>
#include <objbase.h>
#include <initguid.h>

#include "cli_run.h"

#include <algorithm>
#include <wctype.h>

#include <nlohmann/json.hpp>

#include "cli_log.h"
#include "cli_progress.h"
#include "ndisfilter/setup/product.h"
#include "tools/common/inf_store.h"
#include "tools/common/netcfg_query.h"
#include "tools/common/wide_text.h"

namespace ndisfilterctl {
namespace {

constexpr const wchar_t *kVersion = L"" NDISFILTERCTL_VERSION;

std::wstring ToLower(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return text;
}

// Entries of `of` missing from `in`, compared by `key`.
template <typename Key>
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): `of` and `in`, read as the comment reads
std::vector<std::wstring> Missing(const std::vector<std::wstring> &of,
                                  const std::vector<std::wstring> &in, Key key) {
    std::vector<std::wstring> missing;
    for (const std::wstring &item : of) {
        const bool present = std::any_of(in.begin(), in.end(), [&](const std::wstring &other) {
            return key(other) == key(item);
        });
        if (!present) missing.push_back(item);
    }
    return missing;
}

}  // namespace

std::wstring OperationName(const Operation &operation) {
    std::wstring name = operation.action == Action::Install ? L"install" : L"uninstall";
    if (operation.retry) {
        name += L" with retry";
    } else if (operation.timeoutMs) {
        name += *operation.timeoutMs == INFINITE
                    ? std::wstring(L" with no time limit")
                    : L" with a " + std::to_wstring(*operation.timeoutMs) + L" ms limit";
    }
    return name;
}

std::wstring WorstCase(const Operation &operation) {
    if (operation.retry) {
        // A timed-out install is undone and tried again (three timed calls);
        // a timed-out uninstall is tried once more (two).
        const bool install = operation.action == Action::Install;
        const DWORD seconds = ndisfilter::kRetryTimeoutMs / 1000;
        return std::to_wstring((install ? 3 : 2) * seconds) + L" s, " +
               (install ? L"three" : L"two") + L" attempts of " + std::to_wstring(seconds) + L" s";
    }
    if (operation.timeoutMs && *operation.timeoutMs != INFINITE)
        return std::to_wstring(*operation.timeoutMs) + L" ms";
    return L"no time limit";
}

namespace {

void WriteUsageError(const std::wstring &error) {
    WriteText(Stream::Err,
              L"ndisfilterctl: " + error + L"\nrun 'ndisfilterctl --help' for usage\n");
}

}  // namespace

LoadedHelper::~LoadedHelper() {
    if (m_helper) m_helper->Release();
    if (m_module) FreeLibrary(m_module);
}

bool LoadedHelper::Load(const std::wstring &libraryPath, std::wstring &error) {
    m_module = LoadLibraryW(libraryPath.c_str());
    if (!m_module) {
        const DWORD code = GetLastError();
        error = L"cannot load the library " + libraryPath;
        if (code != 0) error += L" (error " + std::to_wstring(code) + L")";
        return false;
    }
    // Through a plain function pointer type first: FARPROC's own signature
    // has nothing to do with the export's.
    const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(m_module, "DllGetClassObject")));
    if (!getClassObject) {
        error = libraryPath + L" does not export DllGetClassObject";
        return false;
    }
    void *object = nullptr;
    const HRESULT hr = getClassObject(GUID{}, IID_INdisFilterHelper2, &object);
    if (hr != S_OK || !object) {
        error = L"DllGetClassObject of " + libraryPath + L" refused INdisFilterHelper2 (" +
                ndisfilter::tools::HexCode(static_cast<DWORD>(hr)) + L")";
        return false;
    }
    m_helper = static_cast<INdisFilterHelper2 *>(object);
    return true;
}

Outcome CallOperation(INdisFilterHelper2 *helper, const Operation &operation) {
    Outcome outcome;
    outcome.ran = true;
    if (operation.action == Action::Install) {
        if (operation.retry)
            outcome.result = helper->InstallWithRetry(operation.infPath, &outcome.restartRequired,
                                                      &outcome.cancelled);
        else if (operation.timeoutMs)
            outcome.result = helper->InstallWithTimeout(operation.infPath, *operation.timeoutMs,
                                                        &outcome.timedOut, &outcome.restartRequired,
                                                        &outcome.cancelled);
        else
            outcome.result =
                helper->Install(operation.infPath, &outcome.restartRequired, &outcome.cancelled);
    } else {
        if (operation.retry)
            outcome.result = helper->UninstallWithRetry(&outcome.restartRequired);
        else if (operation.timeoutMs)
            outcome.result = helper->UninstallWithTimeout(*operation.timeoutMs, &outcome.timedOut,
                                                          &outcome.restartRequired);
        else
            outcome.result = helper->Uninstall(&outcome.restartRequired);
    }
    return outcome;
}

Outcome RunOperation(const std::wstring &libraryPath, const Operation &operation) {
    LoadedHelper helper;
    Outcome outcome;
    if (!helper.Load(libraryPath, outcome.error)) return outcome;
    return CallOperation(helper.Get(), operation);
}

ExitStatus StatusOf(const Outcome &outcome) {
    if (!outcome.ran) return ExitStatus::Failed;
    if (outcome.result)
        return outcome.restartRequired ? ExitStatus::RestartRequired : ExitStatus::Success;
    if (outcome.timedOut) return ExitStatus::TimedOut;
    if (outcome.cancelled) return ExitStatus::Cancelled;
    return ExitStatus::Failed;
}

std::wstring ResultLine(const Operation &operation, const Outcome &outcome) {
    std::wstring line = OperationName(operation);
    if (!outcome.ran) return line + L": failed; " + outcome.error;
    line += outcome.result ? L": succeeded; flags: " : L": failed; flags: ";
    std::wstring flags;
    const auto add = [&flags](BOOL set, const wchar_t *word) {
        if (!set) return;
        if (!flags.empty()) flags += L", ";
        flags += word;
    };
    add(outcome.restartRequired, L"restart required");
    add(outcome.cancelled, L"cancelled");
    add(outcome.timedOut, L"timed out");
    return line + (flags.empty() ? L"none" : flags);
}

std::vector<std::wstring> DescribeChanges(const MachineSnapshot &before,
                                          const MachineSnapshot &after) {
    std::vector<std::wstring> lines;
    const auto exact = [](const std::wstring &text) { return text; };
    if (before.componentsKnown && after.componentsKnown) {
        // Component ids are case-insensitive.
        for (const std::wstring &id : Missing(after.components, before.components, ToLower))
            lines.push_back(L"component " + id + L" added");
        for (const std::wstring &id : Missing(before.components, after.components, ToLower))
            lines.push_back(L"component " + id + L" removed");
    }
    for (const std::wstring &file : Missing(after.storeFiles, before.storeFiles, exact))
        lines.push_back(file + L" added");
    for (const std::wstring &file : Missing(before.storeFiles, after.storeFiles, exact))
        lines.push_back(file + L" deleted");
    return lines;
}

namespace {

using Json = nlohmann::ordered_json;
using ndisfilter::text::Narrow;
namespace diag = ndisfilter::tools;
namespace store = ndisfilter::infstore;

Json Text(const std::wstring &text) { return Narrow(text); }

template <typename T>
Json Maybe(const std::optional<T> &value) {
    return value ? Json(*value) : Json(nullptr);
}

Json MaybeText(const std::optional<std::wstring> &value) {
    return value ? Text(*value) : Json(nullptr);
}

const wchar_t *YesNoUnknown(const std::optional<bool> &value) {
    return !value ? L"unknown" : *value ? L"yes" : L"no";
}

// The store entries that are, or may be, ours: marked and unreadable copies.
bool Ours(const store::InfStoreCopy &copy) {
    return copy.state == store::CopyState::Marked || copy.state == store::CopyState::Unreadable;
}

Json CopiesJson(const store::InfStoreScan &scan) {
    Json copies = Json::array();
    for (const store::InfStoreCopy &copy : scan.copies) {
        if (!Ours(copy)) continue;
        copies.push_back(
            {{"name", Text(copy.name)},
             {"path", Text(copy.path)},
             {"state", Text(store::CopyStateName(copy.state))},
             {"utf16", copy.utf16},
             {"pnf", copy.pnfTwin},
             {"error",
              copy.state == store::CopyState::Unreadable ? Json(copy.readError) : Json(nullptr)}});
    }
    return copies;
}

std::vector<std::wstring> MarkedNames(const store::InfStoreScan &scan) {
    std::vector<std::wstring> names;
    for (const store::InfStoreCopy &copy : scan.copies)
        if (copy.state == store::CopyState::Marked) names.push_back(copy.name);
    return names;
}

// Names in `of` missing from `in`, letter case aside.
std::vector<std::wstring> NamesGone(const std::vector<std::wstring> &of,
                                    const std::vector<std::wstring> &in) {
    return Missing(of, in, ToLower);
}

std::wstring JoinNames(const std::vector<std::wstring> &names) {
    if (names.empty()) return L"none";
    std::wstring text;
    for (const std::wstring &name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

Json NamesJson(const std::vector<std::wstring> &names) {
    Json list = Json::array();
    for (const std::wstring &name : names) list.push_back(Text(name));
    return list;
}

Json CleanupJson(const store::CleanupReport &report) {
    Json results = Json::array();
    for (const store::CleanupResult &result : report.results)
        results.push_back(
            {{"name", Text(result.copy.name)},
             {"outcome", Text(store::CleanupOutcomeName(result.outcome))},
             {"removed", result.outcome == store::CleanupOutcome::Removed},
             {"error", result.error != ERROR_SUCCESS ? Json(result.error) : Json(nullptr)},
             {"pnfRemains", result.pnfRemains}});
    return results;
}

std::vector<std::wstring> RemovedNames(const store::CleanupReport &report) {
    std::vector<std::wstring> names;
    for (const store::CleanupResult &result : report.results)
        if (result.outcome == store::CleanupOutcome::Removed) names.push_back(result.copy.name);
    return names;
}

// The log's path made absolute at the start: installing the default INF
// moves the process's current directory while the library works, and a
// worker ended at its time limit never moves it back.
std::optional<std::wstring> LogPath(const CliRequest &request) {
    if (!request.logPath) return std::nullopt;
    return AbsolutePath(*request.logPath);
}

// One run of the program: what it found and did, for the text lines, the
// JSON object and the log alike.
class Run {
public:
    explicit Run(const CliRequest &request)
        : m_request(request), m_codes(PlatformExitCodes()), m_log(LogPath(request)) {}

    int Execute(const std::vector<std::wstring> &args);

private:
    int Operate();
    int Status();
    int Cleanup();
    // The clean-up after an uninstall, from the listing taken after the
    // library's removal: lines for what went wrong, the JSON, and whether
    // no marked copy remains.
    bool CleanUpAfterRemoval(const store::InfStoreScan &listing,
                             std::vector<std::wstring> &removed);
    int Finish(ExitStatus status);

    void Out(const std::wstring &text) {
        if (!m_request.json) WriteText(Stream::Out, text);
    }
    void Err(const std::wstring &text) {
        if (!m_request.json) WriteText(Stream::Err, text);
    }
    void SetReason(const diag::FailureReason &reason) {
        m_reason = reason;
        m_doc["reason"] = {{"kind", diag::FailureKindName(reason.kind)},
                           {"text", Text(reason.text)}};
        m_log.Line(L"reason: " + reason.text);
    }
    // A clean-up that could not make sure that no marked copy remains: the
    // listing that failed, or the copies left.
    void SetCopiesRemainReason(const store::CleanupReport &report) {
        const store::InfStoreScan &unlisted =
            report.before.error != ERROR_SUCCESS ? report.before : report.after;
        SetReason(
            {diag::FailureKind::Unknown, unlisted.error != ERROR_SUCCESS
                                             ? store::DescribeListingError(unlisted)
                                             : L"marked INF copies remain in the INF store: " +
                                                   JoinNames(MarkedNames(report.after))});
        m_doc["reason"]["kind"] = "inf-copies-remain";
    }
    void SetError(const std::wstring &error) {
        m_doc["error"] = Text(error);
        m_log.Line(L"error: " + error);
    }
    std::wstring LibraryPath() const {
        return AbsolutePath(m_request.libraryPath
                                ? *m_request.libraryPath
                                : JoinPath(ProgramDirectory(), LibraryFileName()));
    }
    void DescribeLibrary(const std::wstring &path) {
        const bool found = FileExists(path);
        const std::optional<std::wstring> version = found ? ModuleFileVersion(path) : std::nullopt;
        m_doc["library"] = {
            {"path", Text(path)}, {"found", found}, {"version", MaybeText(version)}};
        m_log.Line(L"library: " + path + (found ? L"" : L" (not found)") +
                   (version ? L", version " + *version : std::wstring()));
        m_libraryFound = found;
        m_libraryVersion = version;
    }
    diag::FailureReason Diagnose(const Operation &operation, const std::wstring &infPath);
    // A bounded read of the network configuration; once one went unanswered
    // the service is not asked again in this run.
    diag::NetCfgQuery QueryNetCfg() {
        if (m_netCfgUnanswered) return *m_netCfgUnanswered;
        diag::NetCfgQuery query =
            diag::QueryNetCfgWithin(ndisfilter::kComponentId, diag::kNetCfgQueryTimeoutMs);
        if (!query.answered) {
            m_netCfgUnanswered = query;
            m_log.Line(L"the network configuration did not answer: " + query.failedStep);
        }
        return query;
    }

    const CliRequest &m_request;
    const ExitCodeTable &m_codes;
    RunLog m_log;
    Json m_doc;
    std::optional<diag::FailureReason> m_reason;
    bool m_libraryFound = false;
    std::optional<std::wstring> m_libraryVersion;
    std::optional<diag::NetCfgQuery> m_netCfgUnanswered;
};

const wchar_t *CommandWord(Action action) {
    switch (action) {
        case Action::Install:
            return L"install";
        case Action::Uninstall:
            return L"uninstall";
        case Action::Status:
            return L"status";
        case Action::Cleanup:
            return L"cleanup";
        case Action::Help:
        case Action::Version:
            break;
    }
    return L"";
}

int Run::Execute(const std::vector<std::wstring> &args) {
    std::wstring commandLine = L"ndisfilterctl";
    for (const std::wstring &arg : args) commandLine += L" " + arg;
    m_log.Line(std::wstring(L"ndisfilterctl ") + kVersion + L" started");
    m_log.Line(L"command line: " + commandLine);

    m_doc["command"] = Text(CommandWord(m_request.action));
    m_doc["outcome"] = nullptr;
    m_doc["exitCode"] = nullptr;
    m_doc["flags"] = nullptr;
    m_doc["reason"] = nullptr;
    m_doc["error"] = nullptr;
    m_doc["component"] = {{"id", Text(ndisfilter::kComponentId)},
                          {"installedBefore", nullptr},
                          {"installedAfter", nullptr}};
    m_doc["infStore"] = {{"before", Json::array()}, {"after", Json::array()}};
    m_doc["library"] = nullptr;

    switch (m_request.action) {
        case Action::Status:
            return Status();
        case Action::Cleanup:
            return Cleanup();
        case Action::Install:
        case Action::Uninstall:
            return Operate();
        default:
            break;
    }
    SetError(L"this command is not available in this build");
    return Finish(ExitStatus::Failed);
}

int Run::Finish(ExitStatus status) {
    const int code = m_codes.CodeFor(status);
    m_doc["exitCode"] = code;
    if (m_request.json) WriteText(Stream::Out, ndisfilter::text::Widen(m_doc.dump(2)) + L"\n");
    m_log.Line(L"exit code " + std::to_wstring(code));
    return code;
}

diag::FailureReason Run::Diagnose(const Operation &operation, const std::wstring &infPath) {
    diag::FailureFacts facts;
    facts.process = diag::QueryProcessFacts();
    const diag::Operation op =
        operation.action == Action::Install ? diag::Operation::Install : diag::Operation::Uninstall;
    if (op == diag::Operation::Install) facts.inf = diag::CheckInf(infPath.c_str());
    const diag::NetCfgQuery query = QueryNetCfg();
    facts.lockHeld = query.lockHeld;
    facts.lockHolder = query.lockHolder;
    facts.installed = query.installed;
    return diag::ChooseReason(op, infPath.c_str(), facts);
}

int Run::Status() {
    const std::wstring libraryPath = LibraryPath();
    DescribeLibrary(libraryPath);
    const diag::ProcessFacts process = diag::QueryProcessFacts();
    Machine machine;
    std::wstring error;
    if (!machine.Open(m_request, nullptr, error)) {
        SetError(error);
        m_doc["outcome"] = "unknown";
        Err(L"status: " + error + L"\n");
        return Finish(ExitStatus::StateUnknown);
    }
    const diag::NetCfgQuery query = QueryNetCfg();
    m_doc["component"]["installedBefore"] = Maybe(query.installed);
    m_doc["component"]["installedAfter"] = Maybe(query.installed);
    m_doc["lock"] = {{"held", Maybe(query.lockHeld)},
                     {"holder", query.lockHeld == true ? Text(query.lockHolder) : Json(nullptr)}};
    m_doc["process"] = {{"elevated", Maybe(process.elevated)},
                        {"wow64", Maybe(process.wow64)},
                        {"programArchitecture", Text(process.programArchitecture)},
                        {"systemArchitecture", Text(process.systemArchitecture)}};
    if (!query.failedStep.empty()) SetError(diag::DescribeQueryFailure(query));

    std::wstring text =
        std::wstring(L"component ") + ndisfilter::kComponentId + L": " +
        (query.installed ? (*query.installed ? L"installed" : L"not installed")
                         : L"unknown (" + diag::DescribeQueryFailure(query) + L")") +
        L"\n";
    text += L"write lock: " +
            (query.lockHeld ? (*query.lockHeld ? L"held by \"" + query.lockHolder + L"\""
                                               : std::wstring(L"free"))
                            : std::wstring(L"unknown")) +
            L"\n";
    const store::InfStoreScan scan = store::ScanInfStore();
    m_doc["infStore"]["path"] = Text(scan.store);
    m_doc["infStore"]["before"] = CopiesJson(scan);
    m_doc["infStore"]["after"] = CopiesJson(scan);
    if (scan.error != ERROR_SUCCESS) {
        text += store::DescribeListingError(scan) + L"\n";
    } else {
        const size_t marked = scan.Count(store::CopyState::Marked);
        text += L"INF store " + scan.store + L": " + std::to_wstring(marked) + L" marked " +
                (marked == 1 ? L"copy" : L"copies") + L"\n";
        for (const store::InfStoreCopy &copy : scan.copies) {
            if (copy.state == store::CopyState::Marked)
                text += L"  " + copy.name + (copy.utf16 ? L" (UTF-16)" : L"") + L"; .PNF " +
                        (copy.pnfTwin ? L"present" : L"absent") + L"\n";
            else if (copy.state == store::CopyState::Unreadable)
                text += L"  " + copy.name + L": could not be read (error " +
                        std::to_wstring(copy.readError) + L")\n";
        }
    }
    text += L"library: " + libraryPath +
            (m_libraryFound ? (m_libraryVersion ? L" (version " + *m_libraryVersion + L")"
                                                : std::wstring(L" (no version resource)"))
                            : std::wstring(L" (not found)")) +
            L"\n";
    text += L"program: " + process.programArchitecture + L"; operating system: " +
            process.systemArchitecture + L"; elevated: " + YesNoUnknown(process.elevated) + L"\n";
    Out(text);
    m_log.Line(L"status: installed " + std::wstring(YesNoUnknown(query.installed)));

    if (!query.installed) {
        m_doc["outcome"] = "unknown";
        return Finish(ExitStatus::StateUnknown);
    }
    m_doc["outcome"] = *query.installed ? "installed" : "not-installed";
    return Finish(*query.installed ? ExitStatus::Success : ExitStatus::NotInstalled);
}

bool Run::CleanUpAfterRemoval(const store::InfStoreScan &listing,
                              std::vector<std::wstring> &removed) {
    const store::CleanupReport report = store::CleanupInfStore(listing, false);
    removed = RemovedNames(report);
    m_doc["cleanup"] = CleanupJson(report);
    m_doc["infStore"]["after"] = CopiesJson(report.after);
    for (const store::CleanupResult &result : report.results) {
        const std::wstring line = store::DescribeCleanupResult(result);
        m_log.Line(L"clean-up: " + line);
        if (!store::IsGone(result.outcome)) Out(L"  " + line + L"\n");
    }
    for (const store::InfStoreScan *scan : {&report.before, &report.after})
        if (scan->error != ERROR_SUCCESS) Out(L"  " + store::DescribeListingError(*scan) + L"\n");
    if (report.Clean()) return true;
    SetCopiesRemainReason(report);
    return false;
}

int Run::Cleanup() {
    Machine machine;
    std::wstring error;
    const wchar_t *name = m_request.dryRun ? L"cleanup --dry-run" : L"cleanup";
    if (!machine.Open(m_request, nullptr, error)) {
        SetError(error);
        m_doc["outcome"] = "failed";
        Err(std::wstring(name) + L": failed; " + error + L"\n");
        return Finish(ExitStatus::Failed);
    }
    const store::CleanupReport report = store::CleanupInfStore(m_request.dryRun);
    m_doc["infStore"]["path"] = Text(report.before.store);
    m_doc["infStore"]["before"] = CopiesJson(report.before);
    m_doc["infStore"]["after"] = CopiesJson(report.after);
    m_doc["cleanup"] = CleanupJson(report);
    std::wstring text;
    for (const store::CleanupResult &result : report.results) {
        const std::wstring line = store::DescribeCleanupResult(result);
        text += line + L"\n";
        m_log.Line(L"clean-up: " + line);
    }
    // A dry run succeeds when the store could be listed; a clean-up when no
    // marked copy remains.
    bool ok = false;
    std::wstring summary = name;
    if (report.before.error != ERROR_SUCCESS) {
        ok = false;
        SetError(store::DescribeListingError(report.before));
        summary += L": failed; " + store::DescribeListingError(report.before);
    } else if (m_request.dryRun) {
        ok = true;
        const size_t count = report.before.Count(store::CopyState::Marked);
        summary += L": " + std::to_wstring(count) + L" marked " +
                   (count == 1 ? L"copy" : L"copies") + L" would be removed from " +
                   report.before.store;
    } else {
        ok = report.Clean();
        const size_t removed = RemovedNames(report).size();
        const size_t remaining = report.after.Count(store::CopyState::Marked);
        summary += ok ? L": succeeded; " : L": failed; ";
        summary += std::to_wstring(removed) + L" removed, " + std::to_wstring(remaining) +
                   L" marked " + (remaining == 1 ? L"copy remains" : L"copies remain");
        if (!ok) SetCopiesRemainReason(report);
    }
    m_doc["outcome"] = ok ? "succeeded" : "failed";
    m_log.Line(summary);
    Out(text + summary + L"\n");
    if (m_reason) Out(L"reason: " + m_reason->text + L"\n");
    return Finish(ok ? ExitStatus::Success : ExitStatus::Failed);
}

int Run::Operate() {
    Operation operation;
    operation.action = m_request.action;
    operation.timeoutMs = m_request.timeoutMs;
    operation.retry = m_request.retry;
    const std::wstring name = OperationName(operation);
    m_doc["operation"] = Text(name);

    // The INF first: one that cannot be used is refused before the library
    // is loaded.
    InfArgument inf;
    if (m_request.infPath) {
        std::wstring error;
        if (!ResolveInfArgument(*m_request.infPath, inf, error)) {
            SetError(error);
            WriteUsageError(error);
            m_doc["outcome"] = "refused";
            return Finish(ExitStatus::BadUsage);
        }
        m_doc["inf"] = Text(inf.shown);
        m_log.Line(L"INF: " + inf.shown);
    }
    const auto refuseInf = [&](const diag::InfCheck &check) {
        diag::FailureFacts facts;
        facts.inf = check;
        SetReason(diag::ChooseReason(diag::Operation::Install, inf.shown.c_str(), facts));
        m_doc["outcome"] = "refused";
        Out(name + L": not run\n");
        Out(L"reason: " + m_reason->text + L"\n");
        return Finish(ExitStatus::Failed);
    };
    if (inf.check && inf.check->state != diag::InfCheck::State::Readable)
        return refuseInf(*inf.check);

    const std::wstring libraryPath = LibraryPath();
    DescribeLibrary(libraryPath);

    Outcome outcome;
    MachineSnapshot before, after;
    std::wstring machineDescription;
    std::wstring storeReport;  // the uninstall's removals, for the result line
    bool cleanupFailed = false;
    {
        // The library first: one that cannot be loaded leaves the machine
        // untouched.
        LoadedHelper helper;
        Machine machine;
        if (!helper.Load(libraryPath, outcome.error) ||
            !machine.Open(m_request, m_request.infPath ? &inf : nullptr, outcome.error)) {
            SetError(outcome.error);
            m_doc["outcome"] = "failed";
            const std::wstring line = ResultLine(operation, outcome);
            Err(line + L"\n");
            m_log.Line(line);
            return Finish(ExitStatus::Failed);
        }
        operation.infPath = machine.InfPathForLibrary();
        const std::wstring infForDiagnosis =
            operation.infPath ? operation.infPath : machine.DefaultInfPath();
        if (m_request.infPath && !inf.check) {
            const diag::InfCheck check = diag::CheckInf(infForDiagnosis.c_str());
            if (check.state != diag::InfCheck::State::Readable) return refuseInf(check);
        }
        if (m_request.verbose) before = machine.Snapshot();
        const diag::NetCfgQuery beforeQuery = QueryNetCfg();
        m_doc["component"]["installedBefore"] = Maybe(beforeQuery.installed);
        const store::InfStoreScan storeBefore = store::ScanInfStore();
        m_doc["infStore"]["path"] = Text(storeBefore.store);
        m_doc["infStore"]["before"] = CopiesJson(storeBefore);
        m_doc["infStore"]["after"] = CopiesJson(storeBefore);

        // An uninstall of what is not there is done already: only the
        // clean-up is left, and the run succeeds as deployment tools expect.
        const bool removal = operation.action == Action::Uninstall;
        if (removal && !m_request.noCleanup && beforeQuery.installed == false) {
            m_log.Line(std::wstring(ndisfilter::kComponentId) +
                       L" is not installed: the library is not called");
            std::vector<std::wstring> cleaned;
            const bool clean = CleanUpAfterRemoval(storeBefore, cleaned);
            m_doc["removedByLibrary"] = Json::array();
            m_doc["removedByCleanup"] = NamesJson(cleaned);
            m_doc["component"]["installedAfter"] = false;
            m_doc["outcome"] = clean ? "not-installed" : "failed";
            const std::wstring line = name + (clean ? L": " : L": failed; ") +
                                      L"not installed; nothing to remove; INF copies "
                                      L"removed by the clean-up: " +
                                      JoinNames(cleaned);
            m_log.Line(line);
            Out(line + L"\n");
            if (!clean) Out(L"reason: " + m_reason->text + L"\n");
            return Finish(clean ? ExitStatus::Success : ExitStatus::Failed);
        }

        ProgressStyle style;
        style.enabled = !m_request.quiet;
        style.inPlace = IsTerminal(Stream::Err);
        m_log.Line(L"calling " + name);
        INdisFilterHelper2 *object = helper.Get();
        RunWithProgress([&] { outcome = CallOperation(object, operation); }, name,
                        WorstCase(operation), style,
                        [](const std::wstring &text, bool inPlace) {
                            WriteText(Stream::Err, inPlace ? L"\r" + text + L"   " : text + L"\n");
                        },
                        [] { WriteText(Stream::Err, L"\n"); });
        m_log.Line(name + L" returned " + (outcome.result ? L"TRUE" : L"FALSE") +
                   L"; restart required " + (outcome.restartRequired ? L"yes" : L"no") +
                   L", cancelled " + (outcome.cancelled ? L"yes" : L"no") + L", timed out " +
                   (outcome.timedOut ? L"yes" : L"no"));
        if (!outcome.result && !outcome.cancelled) SetReason(Diagnose(operation, infForDiagnosis));

        // What the library's removal took from the store (its purge runs
        // whatever the removal's outcome), and what the clean-up takes after
        // a removal that succeeded.
        if (removal) {
            const store::InfStoreScan afterLibrary = store::ScanInfStore();
            const std::vector<std::wstring> removedByLibrary =
                NamesGone(MarkedNames(storeBefore), MarkedNames(afterLibrary));
            m_doc["removedByLibrary"] = NamesJson(removedByLibrary);
            m_doc["infStore"]["after"] = CopiesJson(afterLibrary);
            storeReport = L"; INF copies removed by the library: " + JoinNames(removedByLibrary);
            if (outcome.result && !m_request.noCleanup) {
                std::vector<std::wstring> cleaned;
                cleanupFailed = !CleanUpAfterRemoval(afterLibrary, cleaned);
                m_doc["removedByCleanup"] = NamesJson(cleaned);
                storeReport += L"; by the clean-up: " + JoinNames(cleaned);
            }
        } else {
            m_doc["infStore"]["after"] = CopiesJson(store::ScanInfStore());
        }
        if (m_request.verbose) after = machine.Snapshot();
        machineDescription = machine.Description();
        m_doc["component"]["installedAfter"] = Maybe(QueryNetCfg().installed);
    }

    const ExitStatus status = cleanupFailed ? ExitStatus::Failed : StatusOf(outcome);
    // A marked copy the clean-up left fails the run, whatever the library
    // answered; the flags stay the library's.
    Outcome shown = outcome;
    if (cleanupFailed) shown.result = FALSE;
    m_doc["outcome"] = shown.result ? "succeeded" : "failed";
    m_doc["flags"] = {{"restartRequired", outcome.restartRequired != FALSE},
                      {"cancelled", outcome.cancelled != FALSE},
                      {"timedOut", outcome.timedOut != FALSE}};
    const std::wstring line = ResultLine(operation, shown) + storeReport;
    m_log.Line(line);
    Out(line + L"\n");
    if (m_reason) Out(L"reason: " + m_reason->text + L"\n");
    if (m_request.verbose) {
        std::wstring report = L"changes on " + machineDescription + L":\n";
        const std::vector<std::wstring> changes = DescribeChanges(before, after);
        if (changes.empty()) report += L"  none\n";
        for (const std::wstring &change : changes) report += L"  " + change + L"\n";
        Out(report);
    }
    return Finish(status);
}

}  // namespace

int RunCli(const std::vector<std::wstring> &args) {
    const ExitCodeTable &codes = PlatformExitCodes();
    const ParseResult parsed = ParseArguments(args, HasSimulatedMachine());
    if (!parsed.request) {
        WriteUsageError(parsed.error);
        return codes.CodeFor(ExitStatus::BadUsage);
    }
    const CliRequest &request = *parsed.request;
    if (request.action == Action::Help) {
        WriteText(Stream::Out, UsageText(codes, HasSimulatedMachine()));
        return codes.CodeFor(ExitStatus::Success);
    }
    if (request.action == Action::Version) {
        WriteText(Stream::Out, std::wstring(L"ndisfilterctl ") + kVersion + L"\n");
        return codes.CodeFor(ExitStatus::Success);
    }
    for (const std::wstring &warning : parsed.warnings)
        WriteText(Stream::Err, L"ndisfilterctl: warning: " + warning + L"\n");
    Run run(request);
    return run.Execute(args);
}

}  // namespace ndisfilterctl
