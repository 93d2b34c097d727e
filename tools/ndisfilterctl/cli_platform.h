// What each build of ndisfilterctl supplies on its own: the program entry,
// where the library lives, exit codes, text output, and the machine whose
// changes --verbose reports. platform_host.cpp (simulated machine) and
// platform_windows.cpp implement it; CMake compiles exactly one of them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "cli_options.h"

namespace ndisfilterctl {

enum class ExitStatus { Success, RestartRequired, Cancelled, TimedOut, Failed, BadUsage };
constexpr int kExitStatusCount = 6;

struct ExitCodeTable {
    struct Entry {
        ExitStatus status;
        int code;
        const wchar_t *meaning;
    };
    Entry entries[kExitStatusCount];  // in ExitStatus order

    int CodeFor(ExitStatus status) const;
};

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

    bool Open(const CliRequest &request, std::wstring &error);
    LPCWSTR InfPathForLibrary() const { return m_infPath.empty() ? nullptr : m_infPath.c_str(); }
    MachineSnapshot Snapshot() const;
    std::wstring Description() const;

private:
    bool m_open = false;
    std::wstring m_infPath;
    std::wstring m_root;
};

}  // namespace ndisfilterctl
