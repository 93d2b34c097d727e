// status: whether the component is installed, who holds the write lock, the
// INF store's copies, the library found and the process's facts.
#include "commands/commands.h"
#include "tools/common/preflight.h"

namespace ndisfilterctl {

StatusRecord StatusCommand(CommandContext &context) {
    StatusRecord record;
    record.library = context.FindLibrary();
    const diag::ProcessFacts process = diag::QueryProcessFacts();
    Machine machine;
    std::wstring error;
    if (!machine.Open(context.Request(), nullptr, error)) {
        context.SetError(record.end, error);
        record.end.exit = ExitStatus::StateUnknown;
        return record;
    }
    StatusFacts found;
    found.process = process;
    found.nativeMachine = diag::ReadNativeMachine();
    found.query = context.QueryNetCfg();
    if (!found.query.failedStep.empty())
        context.SetError(record.end, diag::DescribeQueryFailure(found.query));
    found.store = store::ScanInfStore();
    const std::optional<bool> installed = found.query.installed;
    record.end.exit = !installed   ? ExitStatus::StateUnknown
                      : *installed ? ExitStatus::Success
                                   : ExitStatus::NotInstalled;
    record.found = std::move(found);
    return record;
}

}  // namespace ndisfilterctl
