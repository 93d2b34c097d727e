// install and uninstall: one operation of the library, and after a removal
// the clean-up of the INF store.
#include "commands/commands.h"
#include "commands/library_call.h"
#include "tools/common/preflight.h"
#include "commands/setup_log_reason.h"
#include "views/progress_view.h"

namespace ndisfilterctl {
namespace {

Operation OperationOf(const CliRequest &request) {
    Operation operation;
    operation.action = request.action;
    operation.timeoutMs = request.timeoutMs;
    operation.retry = request.retry;
    return operation;
}

void RefuseInf(CommandContext &context, const std::wstring &shown, const diag::InfCheck &check,
               OperationRecord &record) {
    diag::FailureFacts facts;
    facts.inf = check;
    record.stage = OperationStage::RefusedInf;
    record.end.exit = ExitStatus::Failed;
    context.SetReason(record.end,
                      {diag::ChooseReason(diag::Operation::Install, shown.c_str(), facts), {}, {}});
}

// --inf made into what the library is given; false when the run ends here.
bool TakeInf(CommandContext &context, InfArgument &inf, OperationRecord &record) {
    std::wstring error;
    if (!ResolveInfArgument(*context.Request().infPath, inf, error)) {
        record.stage = OperationStage::RefusedUsage;
        record.end.exit = ExitStatus::BadUsage;
        context.SetError(record.end, error);
        return false;
    }
    record.inf = inf.shown;
    context.Report().InfGiven(inf.shown);
    if (inf.check && inf.check->state != diag::InfCheck::State::Readable) {
        RefuseInf(context, inf.shown, *inf.check, record);
        return false;
    }
    return true;
}

// An install from a program emulated on another architecture (x64 on arm64)
// would install the driver for the program's architecture, which that
// machine cannot load: refused before the library is loaded.
bool RefuseEmulated(CommandContext &context, OperationRecord &record) {
    const diag::ProcessFacts process = diag::QueryProcessFacts();
    const std::wstring machine = diag::EmulatingMachine(process, diag::ReadNativeMachine());
    if (machine.empty()) return false;
    Refusal refusal;
    refusal.kind = Refusal::Kind::EmulatedProgram;
    refusal.program = process.programArchitecture;
    refusal.machine = machine;
    record.stage = OperationStage::RefusedMachine;
    record.end.exit = ExitStatus::Failed;
    Reason reason;
    reason.refusal = refusal;
    context.SetReason(record.end, reason);
    return true;
}

// The pre-flight checks of the INF the library is given: what blocks
// refuses the install before anything is changed, the first blocking check
// being the reason; warnings leave it to go on.
bool PassesChecks(CommandContext &context, const std::wstring &infPath, OperationRecord &record) {
    if (context.Request().noCheck) return true;
    record.preflight = diag::RunPreflight(infPath.c_str());
    const ExitStatus exit = ExitOfChecks(record.preflight->summary);
    if (exit == ExitStatus::Success) return true;
    record.stage = OperationStage::RefusedByCheck;
    record.end.exit = exit;
    context.SetReason(record.end, BlockedReason(*record.preflight));
    return false;
}

// The clean-up after a removal, from the listing taken after it.
void CleanUpAfterRemoval(CommandContext &context, const store::InfStoreScan &listing,
                         OperationRecord &record) {
    store::CleanupReport report = store::CleanupInfStore(listing, false);
    for (const store::CleanupResult &result : report.results) context.Report().CopyCleaned(result);
    record.infStore->after = report.after;
    if (!report.Clean()) context.SetReason(record.end, CopiesRemainReason(report));
    record.cleanup = std::move(report);
}

// An uninstall of what is not there is done already: only the clean-up is
// left, and the run succeeds as deployment tools expect.
void NothingToRemove(CommandContext &context, const store::InfStoreScan &listing,
                     OperationRecord &record) {
    context.Report().LibraryNotCalled();
    record.stage = OperationStage::NotInstalled;
    CleanUpAfterRemoval(context, listing, record);
    record.removedByLibrary.emplace();
    record.component.after = false;
    record.end.exit = CleanupFailed(record) ? ExitStatus::Failed : ExitStatus::Success;
}

// The call, with progress while it runs, and the reason when it failed.
void CallLibrary(CommandContext &context, INdisFilterHelper2 *helper, const Operation &operation,
                 const std::wstring &infForDiagnosis, const store::InfStoreScan &storeBefore,
                 OperationRecord &record) {
    // The log's sections of this run begin after this moment.
    const diag::SetupLogTime since = diag::SetupLogTimeNow();
    context.Report().Calling(operation);
    RunShowingProgress(operation, context.Request().quiet,
                       [&] { record.outcome = CallOperation(helper, operation); });
    context.Report().Returned(operation, record.outcome);
    if (!record.outcome.result && !record.outcome.cancelled)
        context.SetReason(record.end,
                          WithSetupLog(context.Diagnose(operation.action, infForDiagnosis),
                                       infForDiagnosis, since, MarkedNames(storeBefore)));
}

// What the library's removal took from the store (its purge runs after a
// removal, or when the component was not installed), and what the clean-up
// takes after a removal that succeeded: after a failure the component may
// still be installed, and its INF copies stay.
void AccountForRemoval(CommandContext &context, const store::InfStoreScan &storeBefore,
                       OperationRecord &record) {
    const store::InfStoreScan afterLibrary = store::ScanInfStore();
    record.removedByLibrary =
        CompareNames(MarkedNames(storeBefore), MarkedNames(afterLibrary), true).removed;
    record.infStore->after = afterLibrary;
    if (record.outcome.result && !context.Request().noCleanup)
        CleanUpAfterRemoval(context, afterLibrary, record);
}

// The run's work, with the library loaded and the machine open.
void Operate(CommandContext &context, const LoadedHelper &helper, const Machine &machine,
             const InfArgument &inf, OperationRecord &record) {
    const CliRequest &request = context.Request();
    Operation operation = record.operation;
    operation.infPath = machine.InfPathForLibrary();
    const std::wstring infForDiagnosis =
        operation.infPath ? operation.infPath : machine.DefaultInfPath();
    if (request.infPath && !inf.check) {
        const diag::InfCheck check = diag::CheckInf(infForDiagnosis.c_str());
        if (check.state != diag::InfCheck::State::Readable)
            return RefuseInf(context, inf.shown, check, record);
    }
    const bool removal = operation.action == Action::Uninstall;
    if (!removal && !PassesChecks(context, infForDiagnosis, record)) return;
    MachineSnapshot before;
    if (request.verbose) before = machine.Snapshot();
    const diag::NetCfgQuery beforeQuery = context.QueryNetCfg();
    record.component.before = beforeQuery.installed;
    const store::InfStoreScan storeBefore = store::ScanInfStore();
    record.infStore = StoreListing{storeBefore, storeBefore};
    if (removal && !request.noCleanup && beforeQuery.installed == false)
        return NothingToRemove(context, storeBefore, record);

    CallLibrary(context, helper.Get(), operation, infForDiagnosis, storeBefore, record);
    if (removal)
        AccountForRemoval(context, storeBefore, record);
    else
        record.infStore->after = store::ScanInfStore();
    if (request.verbose) {
        MachineSnapshot after = machine.Snapshot();
        record.changes = MachineChanges{machine.Description(), std::move(before), std::move(after)};
    }
    record.component.after = context.QueryNetCfg().installed;
    // A marked copy the clean-up left fails the run, whatever the library
    // answered; a failure because the write lock is held is worth a retry.
    record.end.exit = CleanupFailed(record) ? ExitStatus::Failed : StatusOf(record.outcome);
    if (record.end.exit == ExitStatus::Failed) record.end.exit = FailureStatus(record.end.reason);
}

}  // namespace

OperationRecord OperationCommand(CommandContext &context) {
    const CliRequest &request = context.Request();
    OperationRecord record;
    record.operation = OperationOf(request);
    // The INF first: one that cannot be used is refused before the library
    // is loaded.
    InfArgument inf;
    if (request.infPath && !TakeInf(context, inf, record)) return record;
    record.library = context.FindLibrary();
    if (request.action == Action::Install && RefuseEmulated(context, record)) return record;
    // Then the library: one that cannot be loaded leaves the machine
    // untouched.
    LoadedHelper helper;
    Machine machine;
    std::wstring error;
    if (!helper.Load(record.library->path, error) ||
        !machine.Open(request, request.infPath ? &inf : nullptr, error)) {
        record.stage = OperationStage::NotLoaded;
        record.outcome.error = error;
        context.SetError(record.end, error);
        return record;
    }
    Operate(context, helper, machine, inf, record);
    return record;
}

}  // namespace ndisfilterctl
