// Windows test harness for ndisfilter.dll under Wine: shared declarations.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "common/win_files.h"
#include "tools/common/wide_text.h"
#include "ndisfilter.h"

namespace harness {

// ---- scenarios and checks
struct Scenario {
    const char *name;
    void (*run)();
    bool slow = false;  // minutes of real time
};
extern const std::vector<Scenario> kFakeScenarios;
extern const std::vector<Scenario> kBuiltinScenarios;

// Records one check of the running scenario; prints it when it fails.
bool Expect(bool ok, const char *format, ...);

// ---- the library, loaded once with LoadLibraryW / GetProcAddress
HMODULE Library();
std::wstring LibraryPath();
// A new object through DllGetClassObject; released by the holder.
class Filter {
public:
    Filter();
    ~Filter();
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;
    INdisFilterHelper2 *operator->() const { return m_helper2; }
    explicit operator bool() const { return m_helper2 != nullptr; }

private:
    INdisFilterHelper2 *m_helper2 = nullptr;
};
void CheckVersionResource();

// ---- CoTaskMem blocks freed while the harness ran (a malloc spy)
void StartMallocSpy();
bool TaskMemFreed(const void *block);

// ---- the test network configuration server's state
std::wstring ProgramDirectory();  // without a trailing backslash
std::wstring FakeStateDirectory();
// Starts a scenario: its text, an empty call log, the installed components.
void StartFakeScenario(const char *name, const std::string &directives,
                       const std::vector<std::string> &installed = {});
struct LogLine {
    DWORD thread = 0;
    std::string call;  // "INetCfg.Apply", "+", "-", "!"
    std::string text;  // the whole line after the thread id
};
std::vector<LogLine> ReadCallLog();
int CountCalls(const std::vector<LogLine> &log, const char *call);
// The calls in order, object lifetimes ("+"/"-") left out.
std::vector<std::string> CallSequence(const std::vector<LogLine> &log);
std::string FirstLineOf(const std::vector<LogLine> &log, const char *call);
// Every object released, no use-after-release, no lock left behind.
void ExpectCleanLog(const std::vector<LogLine> &log, bool objectsBalanced = true);
std::vector<std::string> InstalledComponents();
// A hexadecimal value after "key=" in text, or 0.
unsigned long long ValueAfter(const std::string &text, const char *key);

// ---- files: INFs to install, the Windows INF store
std::wstring InfStore();  // C:\windows\inf\ (with the backslash)
void CleanInfStore();
using winetest::ReadBytes;
using winetest::WriteBytes;
bool FileExists(const std::wstring &path);
std::wstring CurrentDirectory();
// A valid unsigned INF for the component; with a CatalogFile line if catalog.
std::string TestInf(bool catalog = false);
// Writes TestInf into <program>\inf-src\<sub>\DorvaneV.inf and returns its path.
std::wstring StageInf(const wchar_t *sub, bool catalog = false);

using ndisfilter::text::Narrow;

}  // namespace harness
