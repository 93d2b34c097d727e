// The facts more than one command gathers.
#include "commands/context.h"

#include "ndisfilter/setup/product.h"

namespace ndisfilterctl {

diag::NetCfgQuery CommandContext::QueryNetCfg() {
    if (m_netCfgUnanswered) return *m_netCfgUnanswered;
    diag::NetCfgQuery query =
        diag::QueryNetCfgWithin(ndisfilter::kComponentId, diag::kNetCfgQueryTimeoutMs);
    if (!query.answered) {
        m_netCfgUnanswered = query;
        m_events->NetCfgUnanswered(query);
    }
    return query;
}

LibraryFacts CommandContext::FindLibrary() {
    LibraryFacts library;
    library.path =
        AbsolutePath(m_request->libraryPath ? *m_request->libraryPath
                                            : JoinPath(ProgramDirectory(), LibraryFileName()));
    library.found = FileExists(library.path);
    if (library.found) library.version = ModuleFileVersion(library.path);
    m_events->LibraryFound(library);
    return library;
}

Reason CommandContext::Diagnose(Action action, const std::wstring &infPath) {
    diag::FailureFacts facts;
    facts.process = diag::QueryProcessFacts();
    const diag::Operation op =
        action == Action::Install ? diag::Operation::Install : diag::Operation::Uninstall;
    if (op == diag::Operation::Install) facts.inf = diag::CheckInf(infPath.c_str());
    const diag::NetCfgQuery query = QueryNetCfg();
    facts.lockHeld = query.lockHeld;
    facts.lockHolder = query.lockHolder;
    facts.installed = query.installed;
    return Reason{diag::ChooseReason(op, infPath.c_str(), facts), std::nullopt, std::nullopt};
}

void CommandContext::SetError(RunEnd &end, const std::wstring &error) {
    end.error = error;
    m_events->Error(error);
}

void CommandContext::SetReason(RunEnd &end, const Reason &reason) {
    end.reason = reason;
    m_events->ReasonFound(reason);
}

Reason CopiesRemainReason(const store::CleanupReport &report) {
    CopiesRemain remain;
    if (report.before.error != ERROR_SUCCESS)
        remain.unlisted = report.before;
    else if (report.after.error != ERROR_SUCCESS)
        remain.unlisted = report.after;
    else
        remain.remaining = MarkedNames(report.after);
    return Reason{{diag::FailureKind::Unknown, {}}, remain, std::nullopt};
}

ExitStatus ExitOfChecks(const diag::PreflightSummary &summary) {
    if (summary.exitCode == diag::kExitRestartFirst) return ExitStatus::RestartFirst;
    return summary.exitCode == 0 ? ExitStatus::Success : ExitStatus::Failed;
}

Reason BlockedReason(const diag::PreflightResult &result) {
    Reason reason;
    for (const diag::Check &check : result.checks) {
        if (check.verdict != diag::Verdict::Blocked) continue;
        reason.blockedBy = check;
        break;
    }
    return reason;
}

}  // namespace ndisfilterctl
