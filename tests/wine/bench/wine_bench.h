// Timed-call benchmark of ndisfilter.dll under Wine: shared declarations.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ndisfilter.h"
#include "tools/common/wide_text.h"

namespace winebench {

// ---- QueryPerformanceCounter
double TicksToMicroseconds(LONGLONG ticks);
inline LONGLONG Now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}
LONGLONG CounterFrequency();

// ---- order statistics of a sample, in the sample's unit
struct Summary {
    size_t count = 0;
    double median = 0, p90 = 0, worst = 0;
};
Summary Summarise(std::vector<double> values);
double Median(std::vector<double> values);

// ---- the library: one object, loaded with LoadLibraryW / GetProcAddress only
// (null, with the reason printed, on failure)
INdisFilterHelper2 *NewFilter(const std::wstring &library);

// ---- the test network configuration server's state
// Its folder (FAKE_NETCFG_DIR, set for this process) beside the program.
std::wstring ProgramDirectory();
std::wstring StateDirectory();
void PrepareStateDirectory();
// A new scenario text (a unique first line restarts the server's counters)
// and the installed components; the call log emptied.
void StartScenario(const char *name, const char *directives);
void ClearCallLog();
// Workers that entered a "hang" answer since the log was last cleared, and
// how many of them ended with the exit code TerminateThread gave them.
struct HangReport {
    int hung = 0;
    int terminated = 0;
};
HangReport CollectHungWorkers(DWORD expectedExitCode);

// ---- the Windows INF store
// Makes Wine name each copy oem<N>.inf as Windows does, by holding the INF's
// own name with a different file; removes copies of ours that an earlier run
// left. RestoreInfStore undoes the placeholder if this run created it.
void PrepareInfStore();
void RestoreInfStore();
int CopiesInInfStore();

using ndisfilter::text::Narrow;
std::wstring Widen(const char *text);

}  // namespace winebench
