// ndisfilterctl's command line: what the operator asked for, and the usage
// text. Parsing has no side effects, so bad usage changes nothing.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace ndisfilterctl {

enum class Action { Install, Uninstall, Status, Cleanup, Check, Help, Version, Report };

struct CliRequest {
    Action action = Action::Help;
    std::optional<std::wstring> infPath;  // install, check; absent: the library's default
    std::optional<DWORD> timeoutMs;       // INFINITE for "infinite"
    bool retry = false;
    std::optional<std::wstring> libraryPath;  // absent: the library beside the program
    std::optional<std::wstring> simRoot;      // builds with a simulated machine only
    std::optional<std::wstring> logPath;      // --log: lines appended to this file
    bool verbose = false;
    bool json = false;       // one JSON object on standard output
    bool quiet = false;      // no progress on standard error
    bool dryRun = false;     // cleanup: list only
    bool noCleanup = false;  // uninstall: the library's removal alone
    bool force = false;      // cleanup: even while the component is installed
    bool noCheck = false;    // install: no pre-flight checks
    std::optional<std::wstring> outPath;   // report: the file to create
    std::vector<std::wstring> includeLogs;  // report: --include-log, in the order given
};

struct ParseResult {
    std::optional<CliRequest> request;   // absent on bad usage
    std::wstring error;                  // why, when absent
    std::vector<std::wstring> warnings;  // accepted, but worth a word on standard error
};

// args excludes the program name. simulatedMachine: whether --sim-root exists
// in this build.
ParseResult ParseArguments(const std::vector<std::wstring> &args, bool simulatedMachine);

// A time limit in milliseconds: decimal 0 to 4294967295 (the latter, like the
// word "infinite", means no limit). Anything else is refused.
std::optional<DWORD> ParseTimeout(const std::wstring &text);

// Limits under this many milliseconds are accepted with a warning: a worker
// ended that early may hold a process-wide lock of the platform for good.
constexpr DWORD kShortTimeoutWarningMs = 1000;

struct ExitCodeTable;
std::wstring UsageText(const ExitCodeTable &codes, bool simulatedMachine);

}  // namespace ndisfilterctl
