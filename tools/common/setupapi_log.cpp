// The device installation log's sections: a parser over text, and the
// log's path and tail (the bytes are read by setupapi_log_file_*.cpp).
#include "setupapi_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "ndisfilter/setup/product.h"
#include "tools/common/netcfg_query.h"
#include "tools/common/wide_text.h"

namespace ndisfilter::tools {
namespace {

// The codes a section reports and what they mean. Values from MinGW-w64's
// winerror.h and netcfgx.h, and the Windows SDK's SetupAPI.h (0xE0000247..
// 0xE000024B are newer than MinGW-w64's copy).
struct KnownCode {
    DWORD code;
    const wchar_t *name;
    SetupLogCause cause;
};
constexpr KnownCode kKnownCodes[] = {
    {0x80070430, L"ERROR_SERVICE_MARKED_FOR_DELETE", SetupLogCause::RestartFirst},
    {0x00000430, L"ERROR_SERVICE_MARKED_FOR_DELETE", SetupLogCause::RestartFirst},
    {0x8004A025, L"NETCFG_E_NEED_REBOOT", SetupLogCause::RestartFirst},
    {0x8004A028, L"NETCFG_E_COMPONENT_REMOVED_PENDING_REBOOT", SetupLogCause::RestartFirst},
    {0xE0000248, L"ERROR_DEVICE_INSTALL_BLOCKED", SetupLogCause::PolicyForbids},
    {0xE0000247, L"ERROR_DRIVER_STORE_ADD_FAILED", SetupLogCause::NotTrusted},
    {0xE000024B, L"ERROR_FILE_HASH_NOT_IN_CATALOG", SetupLogCause::NotTrusted},
    {0xE000022F, L"ERROR_NO_CATALOG_FOR_OEM_INF", SetupLogCause::NotTrusted},
    {0x8004A029, L"NETCFG_E_MAX_FILTER_LIMIT", SetupLogCause::FilterLimit},
    {0x80070005, L"E_ACCESSDENIED", SetupLogCause::AccessBlocked},
    {0x80070006, L"E_HANDLE", SetupLogCause::AccessBlocked},
};

const KnownCode *Known(DWORD code) {
    const auto *known = std::find_if(std::begin(kKnownCodes), std::end(kKnownCodes),
                                     [code](const KnownCode &k) { return k.code == code; });
    return known == std::end(kKnownCodes) ? nullptr : known;
}

// The severity bit: a failure code, as HRESULTs and SetupAPI's codes have it.
constexpr DWORD kFailureBit = 0x80000000u;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

// `needle` is lower case already.
bool ContainsNoCase(std::string_view hay, std::string_view needle) {
    if (needle.empty() || needle.size() > hay.size()) return false;
    for (size_t at = 0; at + needle.size() <= hay.size(); ++at) {
        size_t i = 0;
        while (i < needle.size() && Lower(hay[at + i]) == needle[i]) ++i;
        if (i == needle.size()) return true;
    }
    return false;
}

size_t FindNoCase(std::string_view hay, std::string_view needle) {
    for (size_t at = 0; at + needle.size() <= hay.size(); ++at) {
        size_t i = 0;
        while (i < needle.size() && Lower(hay[at + i]) == needle[i]) ++i;
        if (i == needle.size()) return at;
    }
    return std::string_view::npos;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f'); }

// The first "yyyy/mm/dd hh:mm:ss.sss" in the line.
std::optional<SetupLogTime> FindTime(std::string_view line) {
    static constexpr std::string_view kShape = "dddd/dd/dd dd:dd:dd.ddd";
    for (size_t at = 0; at + kShape.size() <= line.size(); ++at) {
        bool fits = true;
        for (size_t i = 0; fits && i < kShape.size(); ++i)
            fits = kShape[i] == 'd' ? IsDigit(line[at + i]) : line[at + i] == kShape[i];
        if (!fits) continue;
        const std::string stamp(line.substr(at, kShape.size()));
        SetupLogTime t;
        constexpr int kFields = 7, kMonths = 12, kDays = 31, kHours = 24, kMinutes = 60;
        constexpr int kSeconds = 61;  // a leap second
        // The digits are checked above: no conversion can fail.
        const int read =
            sscanf(stamp.c_str(), "%4d/%2d/%2d %2d:%2d:%2d.%3d",  // NOLINT(cert-err34-c)
                   &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second, &t.millisecond);
        if (read == kFields && t.month >= 1 && t.month <= kMonths && t.day >= 1 && t.day <= kDays &&
            t.hour < kHours && t.minute < kMinutes && t.second < kSeconds)
            return t;
    }
    return std::nullopt;
}

// Every "0x" followed by one to eight hex digits (and no more) in the line.
std::vector<DWORD> HexCodes(std::string_view line) {
    constexpr size_t kMaxDigits = 2 * sizeof(DWORD);
    std::vector<DWORD> codes;
    for (size_t at = 0; at + 2 < line.size(); ++at) {
        if (line[at] != '0' || Lower(line[at + 1]) != 'x') continue;
        if (at > 0 && (IsHexDigit(line[at - 1]) || Lower(line[at - 1]) == 'x')) continue;
        size_t end = at + 2;
        while (end < line.size() && IsHexDigit(line[end])) ++end;
        const std::string digits(line.substr(at + 2, end - at - 2));
        if (!digits.empty() && digits.size() <= kMaxDigits)
            codes.push_back(
                static_cast<DWORD>(strtoul(digits.c_str(), nullptr, 16)));  // NOLINT(*magic*)
        at = end - 1;
    }
    return codes;
}

// Text a user may read: bounded, control characters replaced.
std::wstring Clean(std::string_view line) {
    std::string text(line.substr(0, kSetupLogMaxLineChars));
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return static_cast<unsigned char>(c) < ' ' && c != '\t'; }, '?');
    return text::Widen(text);
}

std::string_view AfterPrefix(std::string_view line) {
    const size_t start = line.find_first_not_of(' ', 3);
    return start == std::string_view::npos ? std::string_view{} : line.substr(start);
}

struct OpenSection {
    SetupLogSection section;
    size_t order = 0;  // the header's line number
    bool ours = false;
    bool started = false;
    bool exitFailed = false;
    std::optional<DWORD> exitCode;
    std::vector<DWORD> errorCodes;
};

void Conclude(OpenSection &open) {
    SetupLogSection &s = open.section;
    std::vector<DWORD> candidates;
    if (open.exitCode && *open.exitCode) candidates.push_back(*open.exitCode);
    std::copy_if(open.errorCodes.begin(), open.errorCodes.end(), std::back_inserter(candidates),
                 [](DWORD code) { return code != 0; });
    const auto pick = [&](auto accept) -> std::optional<DWORD> {
        const auto found = std::find_if(candidates.begin(), candidates.end(), accept);
        return found == candidates.end() ? std::nullopt : std::optional<DWORD>(*found);
    };
    s.code = pick([](DWORD code) { return Known(code) != nullptr; });
    if (!s.code) s.code = pick([](DWORD code) { return (code & kFailureBit) != 0; });
    if (!s.code && open.exitFailed) s.code = pick([](DWORD) { return true; });
    s.cause = s.code ? SetupLogCauseOf(*s.code) : SetupLogCause::Unknown;
    const bool knownError = std::any_of(open.errorCodes.begin(), open.errorCodes.end(),
                                        [](DWORD code) { return Known(code) != nullptr; });
    s.failed = open.exitFailed || !s.end || knownError;
}

class Scanner {
public:
    explicit Scanner(const SetupLogQuery &query) : query_(query) {
        for (const std::wstring &name : query.names)
            if (!name.empty()) needles_.push_back(LowerAscii(text::Narrow(name)));
    }

    void Line(std::string_view line, size_t number) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // What a UTF-16 line's end leaves before the next ANSI line.
        while (!line.empty() && line.front() == '\0') line.remove_prefix(1);
        const bool exitLine = line.starts_with("<<<") && ContainsNoCase(line, "exit status");
        if (closed_ && !exitLine) Finish(std::move(*closed_)), closed_.reset();

        if (line.starts_with(">>>")) {
            const std::string_view rest = AfterPrefix(line);
            if (rest.starts_with("[")) {
                const size_t close = rest.rfind(']');
                if (close == std::string_view::npos || close < 1) return;
                if (open_.size() == kSetupLogMaxOpenSections) {  // the oldest never ended
                    Finish(std::move(open_.front()));
                    open_.erase(open_.begin());
                }
                OpenSection section;
                section.order = number;
                section.section.title = Clean(rest.substr(1, close - 1));
                section.ours = Ours(rest);
                open_.push_back(std::move(section));
            } else if (!open_.empty() && ContainsNoCase(line, "section start") &&
                       !open_.back().started) {
                if (const auto time = FindTime(line)) {
                    open_.back().section.start = *time;
                    open_.back().started = true;
                }
            }
        } else if (line.starts_with("<<<")) {
            if (exitLine) {
                if (closed_) {
                    Exit(*closed_, AfterPrefix(line));
                    Finish(std::move(*closed_));
                    closed_.reset();
                }
            } else if (!open_.empty() && ContainsNoCase(line, "section end")) {
                closed_ = std::move(open_.back());
                open_.pop_back();
                closed_->section.end = FindTime(line).value_or(SetupLogTime{});
            }
        } else if (!open_.empty()) {
            Body(open_.back(), line);
        }
    }

    std::vector<SetupLogSection> End() {
        if (closed_) Finish(std::move(*closed_));
        closed_.reset();
        for (OpenSection &open : open_) Finish(std::move(open));
        open_.clear();
        Trim(query_.maxSections);
        std::vector<SetupLogSection> sections;
        for (auto it = done_.rbegin(); it != done_.rend(); ++it)
            sections.push_back(std::move(it->section));
        return sections;
    }

private:
    bool Ours(std::string_view text) const {
        return std::any_of(needles_.begin(), needles_.end(),
                           [&](const std::string &needle) { return ContainsNoCase(text, needle); });
    }

    void Body(OpenSection &open, std::string_view line) {
        if (!open.ours) open.ours = Ours(line);
        SetupLogSection &s = open.section;
        if (s.lines.size() < kSetupLogMaxLinesKept)
            s.lines.push_back(Clean(line));
        else
            ++s.linesLeftOut;
        if (!line.starts_with("!!!")) return;
        if (s.errorLines.size() < kSetupLogMaxErrorLines) s.errorLines.push_back(Clean(line));
        if (open.errorCodes.size() < kSetupLogMaxErrorLines * 4)
            for (DWORD code : HexCodes(line)) open.errorCodes.push_back(code);
    }

    static void Exit(OpenSection &open, std::string_view rest) {
        // "[Exit status: FAILURE(0xe0000248)]" or "[Exit Status(0x00000000)]"
        constexpr std::string_view kExitStatus = "exit status";
        size_t at = FindNoCase(rest, kExitStatus) + kExitStatus.size();
        while (at < rest.size() && (rest[at] == ':' || rest[at] == ' ')) ++at;
        std::string_view status = rest.substr(at);
        if (const size_t close = status.rfind(']'); close != std::string_view::npos)
            status = status.substr(0, close);
        open.section.exitStatus = Clean(status);
        const std::vector<DWORD> codes = HexCodes(status);
        if (!codes.empty()) open.exitCode = codes.front();
        open.exitFailed = ContainsNoCase(status, "failure") || (open.exitCode && *open.exitCode);
    }

    void Finish(OpenSection &&open) {
        if (!open.ours || !open.started || open.section.start < query_.since) return;
        Conclude(open);
        done_.push_back(std::move(open));
        if (done_.size() > 2 * query_.maxSections + 1) Trim(query_.maxSections);
    }

    // Keeps the `count` newest (latest header) of the sections done.
    void Trim(size_t count) {
        std::stable_sort(
            done_.begin(), done_.end(),
            [](const OpenSection &a, const OpenSection &b) { return a.order < b.order; });
        if (done_.size() > count)
            done_.erase(done_.begin(),
                        done_.begin() + static_cast<ptrdiff_t>(done_.size() - count));
    }

    const SetupLogQuery &query_;
    std::vector<std::string> needles_;
    std::vector<OpenSection> open_;      // innermost last
    std::optional<OpenSection> closed_;  // ended, its exit line may follow
    std::vector<OpenSection> done_;
};

const wchar_t *CauseText(SetupLogCause cause) {
    switch (cause) {
        case SetupLogCause::RestartFirst:
            return L"the driver's service is marked for deletion by an earlier removal: restart "
                   L"Windows, then try again";
        case SetupLogCause::PolicyForbids:
            return L"device installation is forbidden by policy (device installation restrictions)";
        case SetupLogCause::NotTrusted:
            return L"the driver package is not signed, or its signature is not trusted";
        case SetupLogCause::FilterLimit:
            return L"the operating system's limit of network filters is reached: remove a filter "
                   L"or raise MaxNumFilters";
        case SetupLogCause::AccessBlocked:
            return L"access was denied: a security product or the machine's permissions block the "
                   L"change";
        case SetupLogCause::Unknown:
            break;
    }
    return L"the platform's setup failed";
}

}  // namespace

std::wstring FormatSetupLogTime(const SetupLogTime &t) {
    constexpr size_t kTextSize = 96;  // seven ints of any value
    char text[kTextSize];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
             t.hour, t.minute, t.second, t.millisecond);
    return text::Widen(text);
}

const wchar_t *SetupLogCauseId(SetupLogCause cause) {
    switch (cause) {
        case SetupLogCause::RestartFirst:
            return L"restart-first";
        case SetupLogCause::PolicyForbids:
            return L"policy-forbids";
        case SetupLogCause::NotTrusted:
            return L"not-trusted";
        case SetupLogCause::FilterLimit:
            return L"filter-limit";
        case SetupLogCause::AccessBlocked:
            return L"access-blocked";
        case SetupLogCause::Unknown:
            break;
    }
    return L"unknown";
}

SetupLogCause SetupLogCauseOf(DWORD code) {
    const KnownCode *known = Known(code);
    return known ? known->cause : SetupLogCause::Unknown;
}

const wchar_t *SetupLogCodeName(DWORD code) {
    const KnownCode *known = Known(code);
    return known ? known->name : nullptr;
}

SetupLogQuery OurSetupLogQuery(const std::wstring &infPath, const SetupLogTime &since,
                               const std::vector<std::wstring> &publishedNames) {
    SetupLogQuery query{{kInfFileName, kComponentId}, since};
    const size_t slash = infPath.find_last_of(L"\\/");
    const std::wstring infName = slash == std::wstring::npos ? infPath : infPath.substr(slash + 1);
    if (!infName.empty()) query.names.push_back(infName);
    for (const std::wstring &name : publishedNames)
        if (!name.empty()) query.names.push_back(name);
    return query;
}

std::vector<SetupLogSection> FindSetupLogSections(std::string_view text,
                                                  const SetupLogQuery &query) {
    Scanner scanner(query);
    size_t number = 0;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        scanner.Line(text.substr(0, newline), number++);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
    return scanner.End();
}

const SetupLogSection *NewestFailedSection(const std::vector<SetupLogSection> &sections) {
    const auto failed = std::find_if(sections.begin(), sections.end(),
                                     [](const SetupLogSection &section) { return section.failed; });
    return failed == sections.end() ? nullptr : &*failed;
}

std::wstring DescribeFailedSection(const SetupLogSection &s) {
    std::wstring reason;
    if (!s.end && s.cause == SetupLogCause::Unknown)
        reason = L"the platform's setup never finished (a hung installation?)";
    else
        reason = CauseText(s.cause);
    if (!s.end && s.cause != SetupLogCause::Unknown) reason += L"; the section never ended";
    reason += L" (setupapi.dev.log: ";
    if (s.code) {
        reason += HexCode(*s.code);
        if (const wchar_t *name = SetupLogCodeName(*s.code)) reason += std::wstring(L" ") + name;
        reason += L" in ";
    }
    reason += L"[" + s.title + L"] started " + FormatSetupLogTime(s.start) + L")";
    return reason;
}

std::wstring SetupLogPath() {
    // GetSystemWindowsDirectoryW (Microsoft's page of that name): the
    // system's directory even in a session with a private Windows directory.
    WCHAR directory[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(directory, length) + L"\\inf\\setupapi.dev.log";
}

std::optional<std::string> ReadFileTail(const std::wstring &path, size_t maxBytes) {
    std::optional<FileBytes> tail = ReadLastBytes(path, maxBytes);
    if (!tail) return std::nullopt;
    if (!tail->fromStart) {
        const size_t newline = tail->bytes.find('\n');
        tail->bytes.erase(0, newline == std::string::npos ? tail->bytes.size() : newline + 1);
    }
    return std::move(tail->bytes);
}

std::optional<std::vector<SetupLogSection>> ReadSetupLogSections(const SetupLogQuery &query,
                                                                 const std::wstring &path,
                                                                 size_t maxBytes) {
    if (path.empty()) return std::nullopt;
    const std::optional<std::string> tail = ReadFileTail(path, maxBytes);
    if (!tail) return std::nullopt;
    return FindSetupLogSections(*tail, query);
}

std::optional<SetupLogFailure> SetupLogFailureSince(const SetupLogQuery &query,
                                                    const std::wstring &path) {
    const auto sections = ReadSetupLogSections(query, path);
    if (!sections) return std::nullopt;
    const SetupLogSection *failed = NewestFailedSection(*sections);
    if (!failed) return std::nullopt;
    return SetupLogFailure{*failed, DescribeFailedSection(*failed)};
}

}  // namespace ndisfilter::tools
