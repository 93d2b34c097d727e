// Running one operation of the library the way any host does, and turning
// its answer into the result line and the exit status.
#pragma once

#include <windows.h>

#include <ndisfilter.h>

#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_platform.h"

namespace ndisfilterctl {

struct Operation {
    Action action = Action::Install;  // Install or Uninstall
    LPCWSTR infPath = nullptr;        // install only; null: the library's default
    std::optional<DWORD> timeoutMs;
    bool retry = false;
};

struct Outcome {
    bool ran = false;    // the library was loaded and the operation called
    std::wstring error;  // why not, when !ran
    BOOL result = FALSE;
    BOOL restartRequired = FALSE;
    BOOL cancelled = FALSE;
    BOOL timedOut = FALSE;
};

// The library loaded and one INdisFilterHelper2 reference obtained from its
// DllGetClassObject; the destructor releases the reference, then unloads.
class LoadedHelper {
public:
    LoadedHelper() = default;
    LoadedHelper(const LoadedHelper &) = delete;
    LoadedHelper &operator=(const LoadedHelper &) = delete;
    ~LoadedHelper();

    bool Load(const std::wstring &libraryPath, std::wstring &error);
    INdisFilterHelper2 *Get() const { return m_helper; }

private:
    HMODULE m_module = nullptr;
    INdisFilterHelper2 *m_helper = nullptr;
};

// Calls the operation's slot (3/4, 5/6 with a limit, 7/8 with retry).
Outcome CallOperation(INdisFilterHelper2 *helper, const Operation &operation);

// Load, call, release, unload.
Outcome RunOperation(const std::wstring &libraryPath, const Operation &operation);

// "install with retry", "uninstall with a 5000 ms limit"
std::wstring OperationName(const Operation &operation);
// The longest the operation may take: its limit, three attempts of the
// retry limit for --retry, or no limit.
std::wstring WorstCase(const Operation &operation);

ExitStatus StatusOf(const Outcome &outcome);
// "install with retry: succeeded; flags: restart required"
std::wstring ResultLine(const Operation &operation, const Outcome &outcome);
// One line per difference between two snapshots.
std::vector<std::wstring> DescribeChanges(const MachineSnapshot &before,
                                          const MachineSnapshot &after);

// The whole program after argument conversion; returns the exit code.
int RunCli(const std::vector<std::wstring> &args);

}  // namespace ndisfilterctl
