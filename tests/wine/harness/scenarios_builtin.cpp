// Scenarios against Wine's own network configuration object, which loads,
// locks and initialises but cannot look up classes or components: every
// operation answers FALSE cleanly, and an uninstall, which cannot tell whether
// the component is installed, keeps its INF copy.
#include "harness.h"

#include <stdio.h>

namespace harness {
namespace {

constexpr BOOL kUnset = 7;

void WriteMarkedOem(int n) {
    WriteBytes(InfStore() + L"oem" + std::to_wstring(n) + L".inf",
               "; DorvaneV.INF\r\n[Version]\r\n");
    WriteBytes(InfStore() + L"oem" + std::to_wstring(n) + L".PNF", "precompiled");
}

bool OemKept(int n) {
    return FileExists(InfStore() + L"oem" + std::to_wstring(n) + L".inf") &&
           FileExists(InfStore() + L"oem" + std::to_wstring(n) + L".PNF");
}

void BuiltinInstall() {
    CleanInfStore();
    const std::wstring inf = StageInf(L"explicit");
    const std::wstring before = CurrentDirectory();
    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    Expect(filter->Install(inf.c_str(), &restart, &cancelled) == FALSE && restart == 0 &&
               cancelled == 0,
           "Install(path): FALSE, flags 0 (restart %d, cancelled %d)", restart, cancelled);
    Expect(ReadBytes(InfStore() + L"DorvaneV.inf") == TestInf(),
           "the INF was copied before the class lookup failed");
    Expect(CurrentDirectory() == before, "current directory untouched");

    WriteBytes(ProgramDirectory() + L"\\DorvaneV.inf", TestInf());
    restart = cancelled = kUnset;
    Expect(
        filter->Install(nullptr, &restart, &cancelled) == FALSE && restart == 0 && cancelled == 0,
        "Install(no path): FALSE, flags 0");
    Expect(CurrentDirectory() == before, "current directory restored");
    DeleteFileW((ProgramDirectory() + L"\\DorvaneV.inf").c_str());
}

void BuiltinUninstallKeepsTheInf() {
    CleanInfStore();
    WriteMarkedOem(2);
    Filter filter;
    BOOL restart = kUnset;
    Expect(filter->Uninstall(&restart) == FALSE && restart == 0, "Uninstall: FALSE, restart 0");
    Expect(OemKept(2), "the marked oem2.inf and oem2.PNF were kept");
}

void BuiltinTimedAndRetried() {
    CleanInfStore();
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL timedOut = kUnset, restart = kUnset, cancelled = kUnset;
    Expect(filter->InstallWithTimeout(inf.c_str(), INFINITE, &timedOut, &restart, &cancelled) ==
                   FALSE &&
               timedOut == 0 && restart == 0 && cancelled == 0,
           "InstallWithTimeout(INFINITE): FALSE, not timed out");
    timedOut = restart = kUnset;
    WriteMarkedOem(3);
    Expect(filter->UninstallWithTimeout(30000, &timedOut, &restart) == FALSE && timedOut == 0 &&
               restart == 0,
           "UninstallWithTimeout(30 s): FALSE, not timed out");
    Expect(OemKept(3), "its worker kept oem3.inf");
    restart = cancelled = kUnset;
    Expect(filter->InstallWithRetry(inf.c_str(), &restart, &cancelled) == FALSE && restart == 0 &&
               cancelled == 0,
           "InstallWithRetry: FALSE at once");
    restart = kUnset;
    WriteMarkedOem(4);
    Expect(filter->UninstallWithRetry(&restart) == FALSE && restart == 0,
           "UninstallWithRetry: FALSE at once");
    Expect(OemKept(4), "its worker kept oem4.inf");
}

}  // namespace

const std::vector<Scenario> kBuiltinScenarios = {
    {"version resource read back with GetFileVersionInfoW", CheckVersionResource},
    {"built-in configuration: Install answers FALSE cleanly", BuiltinInstall},
    {"built-in configuration: Uninstall answers FALSE and keeps the INF copy",
     BuiltinUninstallKeepsTheInf},
    {"built-in configuration: timed and retried operations answer FALSE", BuiltinTimedAndRetried},
};

}  // namespace harness
