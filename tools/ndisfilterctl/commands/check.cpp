// check: the pre-flight checks of the INF an install would give the library
// (--inf made absolute, or the default beside the program). Reads only.
#include "commands/commands.h"

namespace ndisfilterctl {

CheckRecord CheckCommand(CommandContext &context) {
    const CliRequest &request = context.Request();
    CheckRecord record;
    InfArgument inf;
    std::wstring error;
    if (request.infPath && !ResolveInfArgument(*request.infPath, inf, error)) {
        record.end.exit = ExitStatus::BadUsage;
        context.SetError(record.end, error);
        return record;
    }
    Machine machine;
    if (!machine.Open(request, request.infPath ? &inf : nullptr, error)) {
        context.SetError(record.end, error);
        return record;
    }
    const LPCWSTR given = machine.InfPathForLibrary();
    const std::wstring infPath = given ? given : machine.DefaultInfPath();
    record.inf = request.infPath ? inf.shown : infPath;
    record.result = diag::RunPreflight(infPath.c_str());
    record.end.exit = ExitOfChecks(record.result->summary);
    return record;
}

}  // namespace ndisfilterctl
