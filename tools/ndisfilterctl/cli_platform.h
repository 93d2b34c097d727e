// What each build of ndisfilterctl supplies on its own: the program entry,
// where the library lives, exit codes, text output, and the machine whose
// changes --verbose reports. platform_host.cpp (simulated machine) and
// platform_windows.cpp implement it; CMake compiles exactly one of them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "tools/common/diagnosis.h"

namespace ndisfilterctl {

enum class ExitStatus {
    Success,  // status: installed
    RestartRequired,
    Cancelled,
    TimedOut,
    Failed,
    BadUsage,
    NotInstalled,  // status
    StateUnknown,  // status: could not find out
    LockHeld,      // failed: another program holds the configuration's write lock
    RestartFirst,  // check, install: only a removal waiting for a restart blocks
};
constexpr int kExitStatusCount = 10;

struct ExitCodeTable {
    struct Entry {
        ExitStatus status;
        int code;
        const wchar_t *meaning;
    };
    Entry entries[kExitStatusCount];  // in ExitStatus order

    int CodeFor(ExitStatus status) const;
};

// The exit codes of the Windows build, or of a build with a simulated machine.
const ExitCodeTable &ExitCodesFor(bool simulatedMachine);
// The exit codes of this build.
const ExitCodeTable &PlatformExitCodes();
// Whether this build runs on a simulated machine (and so accepts --sim-root).
bool HasSimulatedMachine();
// The library file name looked for beside the program.
const wchar_t *LibraryFileName();
// The real directory holding this program, without a trailing separator.
std::wstring ProgramDirectory();
// Joins a directory and a file name with this platform's separator.
std::wstring JoinPath(const std::wstring &directory, const wchar_t *name);

enum class Stream { Out, Err };
void WriteText(Stream stream, const std::wstring &text);
// Whether the stream is a terminal (progress then updates one line in place).
bool IsTerminal(Stream stream);

// Appends one line (UTF-8, the platform's line end) to a file, creating it;
// false with the reason when it cannot.
bool AppendLine(const std::wstring &path, const std::wstring &line, std::wstring &error);

// A path as the operator typed it, made absolute against the current
// directory (GetFullPathNameW on Windows).
std::wstring AbsolutePath(const std::wstring &path);
bool FileExists(const std::wstring &path);
// The file version from a module's version resource ("1.0.0.0"), read
// without running the module; absent when it has none or cannot be read.
std::optional<std::wstring> ModuleFileVersion(const std::wstring &path);

// --inf as the operator gave it, made into what the library is handed.
struct InfArgument {
    std::wstring shown;                                // absolute, as the operator knows it
    std::wstring source;                               // the file behind it on this platform
    std::wstring forLibrary;                           // the path the library is given
    std::optional<ndisfilter::tools::InfCheck> check;  // absent: checked on the machine
};
// False with a usage error when the path cannot be used at all (too long).
bool ResolveInfArgument(const std::wstring &given, InfArgument &out, std::wstring &error);

// State worth reporting with --verbose.
struct MachineSnapshot {
    bool componentsKnown = false;
    std::vector<std::wstring> components;  // installed network component ids
    std::vector<std::wstring> storeFiles;  // oem<N>.inf / oem<N>.PNF, full paths
};

// The machine the operation works on. Open prepares it (on the simulated
// machine: loads it, places the program's default INF, stages --inf) and
// gives the INF path to hand to the library (null for the default); Close
// keeps what the operation did.
class Machine {
public:
    Machine() = default;
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;
    ~Machine();

    // inf: the resolved --inf, if any.
    bool Open(const CliRequest &request, const InfArgument *inf, std::wstring &error);
    LPCWSTR InfPathForLibrary() const { return m_infPath.empty() ? nullptr : m_infPath.c_str(); }
    // The INF the library uses when given none (beside the program, as the
    // machine sees it).
    std::wstring DefaultInfPath() const;
    MachineSnapshot Snapshot() const;
    std::wstring Description() const;

private:
    bool m_open = false;
    std::wstring m_infPath;
    std::wstring m_root;
};

}  // namespace ndisfilterctl
