// The report written out.
#include "report_output.h"

#include "cli_platform.h"
#include "report_file.h"
#include "tools/common/wide_text.h"
#include "views/report_view.h"

namespace ndisfilterctl {

int FinishReport(ReportRecord record, LogTrace &trace) {
    const ExitCodeTable &codes = PlatformExitCodes();
    std::wstring error;
    if (!record.end.error) {
        // Text from logs may hold bytes that are not UTF-8: replaced, never a throw.
        const std::string text =
            Json(record).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        if (!record.outPath) {
            WriteText(Stream::Out, ndisfilter::text::Widen(text));
        } else if (CreateNewFile(*record.outPath, text, error)) {
            WriteText(Stream::Out, L"report: written to " + *record.outPath + L" (" +
                                       std::to_wstring(text.size()) + L" bytes)\n");
        } else {
            record.end.error = error;
            record.end.exit = ExitStatus::Failed;
        }
    }
    if (record.end.error) {
        record.end.exit = ExitStatus::Failed;
        WriteText(Stream::Err, L"report: " + *record.end.error + L"\n");
    }
    record.end.exitCode = codes.CodeFor(record.end.exit);
    trace.ExitCode(record.end.exitCode);
    return record.end.exitCode;
}

}  // namespace ndisfilterctl
