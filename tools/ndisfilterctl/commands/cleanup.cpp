// cleanup: every marked copy of our INF removed from the INF store.
#include "commands/commands.h"

namespace ndisfilterctl {
namespace {

// The copies are the INF of a component that may be installed: removing
// them would leave it without one for its later removal. Nothing is touched;
// the listing shows what stays.
void Refuse(CommandContext &context, const diag::NetCfgQuery &query, CleanupRecord &record) {
    Refusal refusal;
    if (!query.installed) {
        refusal.kind = Refusal::Kind::ComponentStateUnknown;
        refusal.whyUnknown = diag::DescribeQueryFailure(query);
    }
    record.refused = true;
    const store::InfStoreScan listing = store::ScanInfStore();
    record.report = store::CleanupReport{false, listing, {}, listing};
    Reason reason;
    reason.refusal = refusal;
    context.SetReason(record.end, reason);
}

}  // namespace

CleanupRecord CleanupCommand(CommandContext &context) {
    CleanupRecord record;
    record.dryRun = context.Request().dryRun;
    Machine machine;
    std::wstring error;
    if (!machine.Open(context.Request(), nullptr, error)) {
        context.SetError(record.end, error);
        return record;
    }
    if (!record.dryRun) {
        const diag::NetCfgQuery query = context.QueryNetCfg();
        record.component = {query.installed, query.installed};
        if (query.installed != false && !context.Request().force) {
            Refuse(context, query, record);
            return record;
        }
    }
    const store::CleanupReport report = store::CleanupInfStore(record.dryRun);
    for (const store::CleanupResult &result : report.results) context.Report().CopyCleaned(result);
    // A dry run succeeds when the store could be listed; a clean-up when no
    // marked copy remains.
    bool ok = true;
    if (report.before.error != ERROR_SUCCESS) {
        ok = false;
        context.SetError(record.end, store::DescribeListingError(report.before));
    } else if (!record.dryRun && !report.Clean()) {
        ok = false;
        context.SetReason(record.end, CopiesRemainReason(report));
    }
    record.end.exit = ok ? ExitStatus::Success : ExitStatus::Failed;
    record.report = report;
    return record;
}

}  // namespace ndisfilterctl
