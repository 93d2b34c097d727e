// The run log.
#include "cli_log.h"

#include <cwchar>

#include "cli_platform.h"

namespace ndisfilterctl {

std::wstring UtcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const long long ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    long long days = ms / 86400000;
    long long rest = ms % 86400000;
    if (rest < 0) {
        rest += 86400000;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    wchar_t text[40];
    swprintf(text, sizeof text / sizeof text[0],
             L"%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month, day, rest / 3600000,
             rest / 60000 % 60, rest / 1000 % 60, rest % 1000);
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
