// Why an install or uninstall of the component failed, in one line: the
// checks a host runs after the library answered FALSE (or before calling it,
// where the cause is certain). Print-free, so that ndisfilterctl and the
// installer's custom actions give the same reason in the same words.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ndisfilter::tools {

enum class Operation { Install, Uninstall };

// From the most specific cause to the least.
enum class FailureKind {
    NotElevated,       // the process token is not elevated
    Wow64,             // a 32-bit program on 64-bit Windows
    InfMissing,        // install: the INF does not exist
    InfUnreadable,     // install: the INF exists but cannot be read
    LockHeld,          // another client holds the configuration write lock
    AlreadyInstalled,  // install: the component is already there
    NotInstalled,      // uninstall: the component is not there
    Unknown,           // none of the above: see the setup log
};

// Stable names for scripts ("not-elevated", "wow64", ...).
const char *FailureKindName(FailureKind kind);

struct FailureReason {
    FailureKind kind = FailureKind::Unknown;
    std::wstring text;  // one line, without "reason: "
};

// The state of an INF file as a reader finds it.
struct InfCheck {
    enum class State { Readable, Missing, Unreadable } state = State::Readable;
    DWORD error = ERROR_SUCCESS;  // the platform's error when not readable
};
InfCheck CheckInf(const WCHAR *path);

// The process: whether its token is elevated and whether it runs under WOW64
// (absent: could not be told), and the architectures ("x64", "x86", "arm64").
struct ProcessFacts {
    std::optional<bool> elevated;
    std::optional<bool> wow64;
    std::wstring programArchitecture;
    std::wstring systemArchitecture;
};
ProcessFacts QueryProcessFacts();

// Everything the choice looks at.
struct FailureFacts {
    ProcessFacts process;
    std::optional<InfCheck> inf;  // install with an INF path only
    std::optional<bool> lockHeld;
    std::wstring lockHolder;
    std::optional<bool> installed;
};

// The most specific reason the facts support, in this order: not elevated,
// WOW64, INF missing or unreadable, write lock held, already installed /
// not installed, unknown. infPath: the INF as the library was given it (null:
// the default beside the program), for the text only.
FailureReason ChooseReason(Operation operation, const WCHAR *infPath, const FailureFacts &facts);

// Gathers the facts (reading only; the network configuration is read without
// its write lock) and chooses. infPath: the INF given to the library, or the
// default one the library would use; null skips the INF check.
FailureReason DiagnoseFailure(Operation operation, const WCHAR *infPath);

// Where the platform's setup services log what they did.
constexpr const WCHAR *kSetupLogPath = L"%WINDIR%\\inf\\setupapi.dev.log";

}  // namespace ndisfilter::tools
