// The text each command prints.
#include "views/text_view.h"

#include "ndisfilter/setup/product.h"
#include "tools/common/netcfg_query.h"

namespace ndisfilterctl {
namespace {

// "1 marked copy", "2 marked copies"
std::wstring MarkedCopies(size_t count) {
    return std::to_wstring(count) + (count == 1 ? L" marked copy" : L" marked copies");
}

std::wstring ReasonLine(const RunEnd &end) {
    return end.reason ? L"reason: " + ReasonText(*end.reason) + L"\n" : std::wstring();
}

std::wstring ComponentLine(const diag::NetCfgQuery &query) {
    const std::wstring state = query.installed
                                   ? (*query.installed ? L"installed" : L"not installed")
                                   : L"unknown (" + diag::DescribeQueryFailure(query) + L")";
    return std::wstring(L"component ") + ndisfilter::kComponentId + L": " + state + L"\n";
}

std::wstring LockLine(const diag::NetCfgQuery &query) {
    const std::wstring state =
        query.lockHeld
            ? (*query.lockHeld ? L"held by \"" + query.lockHolder + L"\"" : std::wstring(L"free"))
            : std::wstring(L"unknown");
    return L"write lock: " + state + L"\n";
}

// The marked copies, each with its .PNF, and the unreadable ones.
std::wstring StoreLines(const store::InfStoreScan &scan) {
    if (scan.error != ERROR_SUCCESS) return store::DescribeListingError(scan) + L"\n";
    std::wstring text = L"INF store " + scan.store + L": " +
                        MarkedCopies(scan.Count(store::CopyState::Marked)) + L"\n";
    for (const store::InfStoreCopy &copy : scan.copies) {
        if (copy.state == store::CopyState::Marked)
            text += L"  " + copy.name + (copy.utf16 ? L" (UTF-16)" : L"") + L"; .PNF " +
                    (copy.pnfTwin ? L"present" : L"absent") + L"\n";
        else if (copy.state == store::CopyState::Unreadable)
            text += L"  " + copy.name + L": could not be read (error " +
                    std::to_wstring(copy.readError) + L")\n";
    }
    return text;
}

std::wstring LibraryLine(const LibraryFacts &library) {
    const std::wstring found = library.version ? L" (version " + *library.version + L")"
                                               : std::wstring(L" (no version resource)");
    return L"library: " + library.path + (library.found ? found : L" (not found)") + L"\n";
}

// What went wrong in a clean-up after a removal: the copies it could not
// remove and the listings that failed.
std::wstring CleanupProblems(const store::CleanupReport &report) {
    std::wstring text;
    for (const store::CleanupResult &result : report.results)
        if (!store::IsGone(result.outcome))
            text += L"  " + store::DescribeCleanupResult(result) + L"\n";
    for (const store::InfStoreScan *scan : {&report.before, &report.after})
        if (scan->error != ERROR_SUCCESS)
            text += L"  " + store::DescribeListingError(*scan) + L"\n";
    return text;
}

std::wstring ChangesText(const MachineChanges &changes) {
    std::wstring text = L"changes on " + changes.machine + L":\n";
    const std::vector<std::wstring> lines = DescribeChanges(changes.before, changes.after);
    if (lines.empty()) text += L"  none\n";
    for (const std::wstring &line : lines) text += L"  " + line + L"\n";
    return text;
}

// An install's pre-flight warnings, for standard error: each one the
// machine showed, and a count of those that could not be read (`check`
// lists them; the host build's simulated machine has most of them unread).
std::wstring WarningLines(const std::optional<diag::PreflightResult> &preflight) {
    if (!preflight) return {};
    std::wstring text;
    for (const diag::Check &check : preflight->checks)
        if (check.verdict == diag::Verdict::Warning && !check.unread)
            text += L"check: " + diag::DescribeCheck(check) + L"\n";
    const size_t unread = preflight->summary.unread;
    if (unread > 0)
        text += L"check: " + std::to_wstring(unread) +
                L" check(s) could not be read; `ndisfilterctl check` lists them\n";
    return text;
}

}  // namespace

std::wstring OperatingSystemWords(const StatusFacts &found) {
    const std::wstring emulating = diag::EmulatingMachine(found.process, found.nativeMachine);
    if (emulating.empty()) return found.process.systemArchitecture;
    return emulating + L" (" + found.process.programArchitecture + L" emulated)";
}

TextOutput RenderText(const StatusRecord &record) {
    if (!record.found) return {L"", L"status: " + record.end.error.value_or(L"") + L"\n"};
    const StatusFacts &found = *record.found;
    std::wstring text = ComponentLine(found.query) + LockLine(found.query) +
                        StoreLines(found.store) + LibraryLine(record.library);
    text += L"program: " + found.process.programArchitecture + L"; operating system: " +
            OperatingSystemWords(found) + L"; elevated: " +
            YesNoUnknown(found.process.elevated) + L"\n";
    return {text, L""};
}

std::wstring ResultLine(const OperationRecord &record) {
    const std::wstring name = OperationName(record.operation);
    const bool cleanupFailed = CleanupFailed(record);
    switch (record.stage) {
        case OperationStage::RefusedUsage:
        case OperationStage::RefusedInf:
        case OperationStage::RefusedMachine:
        case OperationStage::RefusedByCheck:
            return name + L": not run";
        case OperationStage::NotInstalled:
            return name + (cleanupFailed ? L": failed; " : L": ") +
                   L"not installed; nothing to remove; INF copies removed by the clean-up: " +
                   JoinNames(record.cleanup ? RemovedNames(*record.cleanup)
                                            : std::vector<std::wstring>());
        case OperationStage::NotLoaded:
        case OperationStage::Called:
            break;
    }
    // A marked copy the clean-up left fails the run; the flags stay the
    // library's.
    Outcome shown = record.outcome;
    if (cleanupFailed) shown.result = FALSE;
    std::wstring line = ResultLine(record.operation, shown);
    if (record.removedByLibrary) {
        line += L"; INF copies removed by the library: " + JoinNames(*record.removedByLibrary);
        if (record.cleanup)
            line += L"; by the clean-up: " + JoinNames(RemovedNames(*record.cleanup));
    }
    return line;
}

TextOutput RenderText(const OperationRecord &record) {
    switch (record.stage) {
        case OperationStage::RefusedUsage:  // the usage error is RunCli's
            return {};
        case OperationStage::NotLoaded:
            return {L"", ResultLine(record) + L"\n"};
        case OperationStage::RefusedInf:
        case OperationStage::RefusedMachine:
        case OperationStage::RefusedByCheck:
        case OperationStage::NotInstalled:
        case OperationStage::Called:
            break;
    }
    std::wstring text = record.cleanup ? CleanupProblems(*record.cleanup) : std::wstring();
    text += ResultLine(record) + L"\n" + ReasonLine(record.end);
    if (record.changes) text += ChangesText(*record.changes);
    return {text, WarningLines(record.preflight)};
}

std::wstring ResultLine(const CleanupRecord &record) {
    const std::wstring name = record.dryRun ? L"cleanup --dry-run" : L"cleanup";
    if (!record.report) return name + L": failed; " + record.end.error.value_or(L"");
    const store::CleanupReport &report = *record.report;
    if (report.before.error != ERROR_SUCCESS)
        return name + L": failed; " + store::DescribeListingError(report.before);
    const size_t marked = report.before.Count(store::CopyState::Marked);
    if (record.dryRun)
        return name + L": " + MarkedCopies(marked) + L" would be removed from " + report.before.store;
    if (record.refused)
        return name + L": refused; " + MarkedCopies(marked) + L" left in " + report.before.store;
    const size_t remaining = report.after.Count(store::CopyState::Marked);
    return name + (report.Clean() ? L": succeeded; " : L": failed; ") +
           std::to_wstring(RemovedNames(report).size()) + L" removed, " + MarkedCopies(remaining) +
           (remaining == 1 ? L" remains" : L" remain");
}

TextOutput RenderText(const CleanupRecord &record) {
    if (!record.report) return {L"", ResultLine(record) + L"\n"};
    std::wstring text;
    for (const store::CleanupResult &result : record.report->results)
        text += store::DescribeCleanupResult(result) + L"\n";
    return {text + ResultLine(record) + L"\n" + ReasonLine(record.end), L""};
}

std::wstring ResultLine(const CheckRecord &record) {
    if (!record.result) return L"check: failed; " + record.end.error.value_or(L"");
    return L"check: " + diag::DescribeSummary(record.result->summary);
}

TextOutput RenderText(const CheckRecord &record) {
    if (record.end.exit == ExitStatus::BadUsage) return {};  // the usage error is RunCli's
    if (!record.result) return {L"", ResultLine(record) + L"\n"};
    std::wstring text;
    for (const diag::Check &check : record.result->checks)
        text += diag::DescribeCheck(check) + L"\n";
    return {text + ResultLine(record) + L"\n", L""};
}

}  // namespace ndisfilterctl
