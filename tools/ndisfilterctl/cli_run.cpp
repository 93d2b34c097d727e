// ndisfilterctl's flow: parse, run one command, show its record as text or
// JSON, exit with a code deployment tools understand.
#include "cli_run.h"

#include "cli_options.h"
#include "cli_platform.h"
#include "commands/commands.h"
#include "report_output.h"
#include "tools/common/wide_text.h"
#include "views/json_view.h"
#include "views/log_trace.h"

namespace ndisfilterctl {
namespace {

constexpr const wchar_t *kVersion = L"" NDISFILTERCTL_VERSION;

void WriteUsageError(const std::wstring &error) {
    WriteText(Stream::Err,
              L"ndisfilterctl: " + error + L"\nrun 'ndisfilterctl --help' for usage\n");
}

// The log's path made absolute at the start: installing the default INF
// moves the process's current directory while the library works, and a
// worker ended at its time limit never moves it back.
std::optional<std::wstring> LogPath(const CliRequest &request) {
    if (!request.logPath) return std::nullopt;
    return AbsolutePath(*request.logPath);
}

// A finished record shown (JSON with --json, else text), the trace's last
// lines written; returns the exit code.
template <typename Record>
int Finish(Record record, const CliRequest &request, LogTrace &trace) {
    record.end.exitCode = PlatformExitCodes().CodeFor(record.end.exit);
    trace.Summary(record);
    if (record.end.exit == ExitStatus::BadUsage) WriteUsageError(record.end.error.value_or(L""));
    if (request.json) {
        const Json json = record;
        WriteText(Stream::Out, ndisfilter::text::Widen(json.dump(2)) + L"\n");
    } else {
        const TextOutput text = RenderText(record);
        if (!text.err.empty()) WriteText(Stream::Err, text.err);
        if (!text.out.empty()) WriteText(Stream::Out, text.out);
    }
    trace.ExitCode(record.end.exitCode);
    return record.end.exitCode;
}

int RunCommand(const CliRequest &request, const std::vector<std::wstring> &args) {
    LogTrace trace(LogPath(request));
    trace.Started(args);
    CommandContext context(request, trace);
    switch (request.action) {
        case Action::Status:
            return Finish(StatusCommand(context), request, trace);
        case Action::Cleanup:
            return Finish(CleanupCommand(context), request, trace);
        case Action::Check:
            return Finish(CheckCommand(context), request, trace);
        case Action::Install:
        case Action::Uninstall:
            return Finish(OperationCommand(context), request, trace);
        case Action::Report:
            return FinishReport(ReportCommand(context), trace);
        case Action::Help:
        case Action::Version:
            break;
    }
    return PlatformExitCodes().CodeFor(ExitStatus::Failed);  // RunCli answers these
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
    return RunCommand(request, args);
}

}  // namespace ndisfilterctl
