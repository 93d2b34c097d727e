// Running a library call on a thread of the CLI's own while the calling
// thread reports progress: after a quiet period, the elapsed time and the
// worst case, on one line updated in place (a terminal) or a line at each
// interval (a file or a pipe).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace ndisfilterctl {

struct ProgressStyle {
    // NOLINTBEGIN(cppcoreguidelines-avoid-magic-numbers): each default is named by its member
    std::chrono::milliseconds quietPeriod{2000};  // nothing is shown before this
    std::chrono::milliseconds interval{10000};    // between lines when not in place
    std::chrono::milliseconds tick{1000};         // between updates in place
    // NOLINTEND(cppcoreguidelines-avoid-magic-numbers)
    bool inPlace = false;                         // a terminal: one line, rewritten
    bool enabled = true;                          // --quiet turns it off
};

// What one report says: "install with retry: 12 s elapsed (worst case 360 s)".
std::wstring ProgressText(const std::wstring &what, std::chrono::milliseconds elapsed,
                          const std::wstring &worstCase);

// Runs `call` on a new thread and waits for it, passing each report to
// `show` (text without a line end; `inPlace` as in the style). When the call
// ends, an in-place line is finished with `finish` (called only if something
// was shown). Returns once the thread has ended: no report comes after.
void RunWithProgress(const std::function<void()> &call, const std::wstring &what,
                     const std::wstring &worstCase, const ProgressStyle &style,
                     const std::function<void(const std::wstring &text, bool inPlace)> &show,
                     const std::function<void()> &finish);

}  // namespace ndisfilterctl
