// The platform's own error code after a failed install or removal: the
// newest sections of the device installation log (%WINDIR%\inf\setupapi.dev.log)
// that concern our INF or component, read from the end of the file, bounded
// in bytes, sections and lines. Print-free; for ndisfilterctl's failure
// reason and its report.
//
// The log's layout, as Microsoft documents it ("Format of a Text Log
// Section", "... Section Header", "... Section Body"):
//   >>>  [Device Install (DiInstallDriver) - C:\drv\DorvaneV.inf]
//   >>>  Section start 2026/12/09 13:46:01.123
//   !!!  ndv: Error 0xe0000247: ...
//   <<<  Section end 2026/12/09 13:46:02.456
//   <<<  [Exit status: FAILURE(0xe0000247)]
// and the older "time_stamp: Section start" / "[Exit Status(0x...)]" forms.
#pragma once

#include <windows.h>

#include <compare>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ndisfilter::tools {

// A time stamp as the log writes it: local time, to the millisecond.
struct SetupLogTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    auto operator<=>(const SetupLogTime &) const = default;
};
// "2026/12/09 13:46:01.123", the log's own form.
std::wstring FormatSetupLogTime(const SetupLogTime &time);
// The local time now, to compare with the log's time stamps.
SetupLogTime SetupLogTimeNow();

// What a code in a section means for the user.
enum class SetupLogCause {
    Unknown,        // a failure whose code is not one of those below
    RestartFirst,   // the service is marked for deletion: restart, then retry
    PolicyForbids,  // device installation forbidden by policy
    NotTrusted,     // the driver package is not signed or not trusted
    FilterLimit,    // the operating system's limit of network filters
    AccessBlocked,  // access denied: a security product or permissions
};
// A stable id for JSON: "restart-first", "policy-forbids", ...
const wchar_t *SetupLogCauseId(SetupLogCause cause);
SetupLogCause SetupLogCauseOf(DWORD code);
// The code's name ("ERROR_DEVICE_INSTALL_BLOCKED"), or nullptr for one not
// in the table.
const wchar_t *SetupLogCodeName(DWORD code);

// Bounds of one read.
constexpr size_t kSetupLogTailBytes = 4u << 20;  // read at most the last 4 MiB
constexpr size_t kSetupLogMaxSections = 8;       // sections kept
constexpr size_t kSetupLogMaxLinesKept = 48;     // body lines kept per section
constexpr size_t kSetupLogMaxErrorLines = 16;    // "!!!" lines kept per section
constexpr size_t kSetupLogMaxLineChars = 336;    // the documented longest entry
constexpr size_t kSetupLogMaxOpenSections = 16;  // nesting followed

struct SetupLogSection {
    std::wstring title;  // inside the header's brackets
    SetupLogTime start;
    std::optional<SetupLogTime> end;  // absent: the section never ended
    std::wstring exitStatus;          // "SUCCESS", "FAILURE(0xe0000248)"; empty if none
    // A FAILURE exit, an error line with a code, or no end.
    bool failed = false;
    std::optional<DWORD> code;  // the code that explains the failure
    SetupLogCause cause = SetupLogCause::Unknown;
    std::vector<std::wstring> errorLines;  // the "!!!" lines, first ones
    std::vector<std::wstring> lines;       // the body as written, first ones
    size_t linesLeftOut = 0;               // body lines beyond `lines`
};

struct SetupLogQuery {
    // Text any of which marks a section as ours, letter case ignored: the
    // INF's file name, its published oem<N>.inf name, the component id.
    std::vector<std::wstring> names;
    // Sections that began earlier are someone else's run.
    SetupLogTime since;
    size_t maxSections = kSetupLogMaxSections;
};

// The query for our run: the INF's file name (from `infPath`, and the
// product's own INF name), the run's start, its published names when known
// (the marked "oem7.inf" copies in the store) and the component id.
SetupLogQuery OurSetupLogQuery(const std::wstring &infPath, const SetupLogTime &since,
                               const std::vector<std::wstring> &publishedNames = {});

// The sections of `text` (whole lines of the log) that concern the query's
// names and began at or after its time, newest first. Lines that are not
// the log's (other encodings, binary) are skipped.
std::vector<SetupLogSection> FindSetupLogSections(std::string_view text,
                                                  const SetupLogQuery &query);

// The newest of `sections` that failed or never ended; nullptr when none.
const SetupLogSection *NewestFailedSection(const std::vector<SetupLogSection> &sections);

// One line a user reads: the cause, what to do, and the code with its name,
// the section's title and start ("the driver package is not signed or not
// trusted (setupapi.dev.log: 0xE0000247 ERROR_DRIVER_STORE_ADD_FAILED in
// [...] started 2026/12/09 13:46:01.123)").
std::wstring DescribeFailedSection(const SetupLogSection &section);

// --- The file ---------------------------------------------------------------

// "<system Windows directory>\inf\setupapi.dev.log"; empty when the
// directory is unknown.
std::wstring SetupLogPath();

// The last `maxBytes` of a file, opened for reading while others keep
// writing it; when the read starts past the file's beginning, the first
// (partial) line is dropped. nullopt when the file cannot be opened or read.
std::optional<std::string> ReadFileTail(const std::wstring &path, size_t maxBytes);

// The last `maxBytes` of a file as they are, and whether they start at its
// beginning; nullopt when it cannot be opened or read. One per build
// (setupapi_log_file_windows.cpp, setupapi_log_file_host.cpp).
struct FileBytes {
    std::string bytes;
    bool fromStart = true;
};
std::optional<FileBytes> ReadLastBytes(const std::wstring &path, size_t maxBytes);

// The log's tail, searched. nullopt when the log cannot be read: the caller
// keeps the reasons it has.
std::optional<std::vector<SetupLogSection>> ReadSetupLogSections(
    const SetupLogQuery &query, const std::wstring &path = SetupLogPath(),
    size_t maxBytes = kSetupLogTailBytes);

// Why a run that began at `query.since` failed, as the log says: the
// section (title, start, exit status, code, cause) and its reason line.
struct SetupLogFailure {
    SetupLogSection section;
    std::wstring reason;
};
// nullopt when the log cannot be read or holds no failed section of ours.
std::optional<SetupLogFailure> SetupLogFailureSince(const SetupLogQuery &query,
                                                    const std::wstring &path = SetupLogPath());

}  // namespace ndisfilter::tools
