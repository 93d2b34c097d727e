// Progress reports written to standard error.
#include "views/progress_view.h"

#include "cli_platform.h"
#include "cli_progress.h"
#include "views/text_view.h"

namespace ndisfilterctl {

void RunShowingProgress(const Operation &operation, bool quiet, const std::function<void()> &call) {
    ProgressStyle style;
    style.enabled = !quiet;
    style.inPlace = IsTerminal(Stream::Err);
    RunWithProgress(
        call, OperationName(operation), WorstCase(operation), style,
        [](const std::wstring &text, bool inPlace) {
            WriteText(Stream::Err, inPlace ? L"\r" + text + L"   " : text + L"\n");
        },
        [] { WriteText(Stream::Err, L"\n"); });
}

}  // namespace ndisfilterctl
