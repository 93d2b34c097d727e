// The run log.
#include "cli_log.h"

#include <cwchar>

#include "cli_platform.h"

namespace ndisfilterctl {

std::wstring UtcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = time_point_cast<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    wchar_t text[sizeof "-32767-12-31T23:59:59.999Z"];
    swprintf(text, sizeof text / sizeof text[0], L"%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
             static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
             static_cast<unsigned>(date.day()), static_cast<long long>(time.hours().count()),
             static_cast<long long>(time.minutes().count()),
             static_cast<long long>(time.seconds().count()),
             static_cast<long long>(time.subseconds().count()));
    return text;
}

void RunLog::Line(const std::wstring &text) {
    if (!m_path || m_failed) return;
    std::wstring error;
    if (!AppendLine(*m_path, UtcTimestamp(std::chrono::system_clock::now()) + L" " + text, error)) {
        m_failed = true;
        WriteText(Stream::Err, L"ndisfilterctl: warning: cannot write the log " + *m_path + L" (" +
                                   error + L"); going on without it\n");
    }
}

}  // namespace ndisfilterctl
