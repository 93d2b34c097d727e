// Soak of ndisfilter.dll under Wine against the test network configuration
// server: install/uninstall cycles, the first half direct (Install, then
// Uninstall), the second half timed with the worker finishing
// (InstallWithTimeout, then UninstallWithTimeout, 60 s limits), and the
// process's handle count, private bytes and thread count before, between
// and after.
//
// Usage: ndisfilter_wine_soak.exe [--library PATH] [--inf PATH] [--cycles N]
//                                 [--warmup N] [--max-growth-kib K]
//   --cycles          measured cycles, half of each kind (default 1000)
//   --warmup          cycles of each kind before the first reading (default 10):
//                     the server's DLL, the component runtime and Wine's own
//                     services settle in these
//   --max-growth-kib  private bytes may grow by at most this much (default:
//                     8 KiB per cycle, for the test server's kept objects)
// Exit code 0: every cycle succeeded and left the store clean; the handle and
// thread counts and the bytes in use on the C runtime's heap (everything the
// library allocates) came back to their starting values after each half; and
// the private bytes grew by no more than the bound.
#include <initguid.h>  // the interface ids are defined here

#include "wine_bench.h"

#include <malloc.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

using namespace winebench;

namespace {

constexpr DWORD kLimitMs = 60000;
// The test server keeps every object it hands out, to catch calls made after
// the last Release: about 2 KiB per configuration object under Wine 8, two
// per cycle. Private bytes may grow by this much per cycle.
constexpr long kGrowthPerCycleKib = 8;

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    DWORD threads = 0;
    long long heapBytes = -1;  // in use on the C runtime's heap; -1: not walkable
};

// Bytes in use on the C runtime's heap, where everything the library
// allocates lives (its operator new is msvcrt's malloc, as this program's).
long long CrtHeapBytes() {
    _HEAPINFO info = {};
    long long bytes = 0;
    int status;
    while ((status = _heapwalk(&info)) == _HEAPOK)
        if (info._useflag == _USEDENTRY) bytes += static_cast<long long>(info._size);
    return status == _HEAPEND ? bytes : -1;
}

DWORD ThreadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

// Handles open in this process. A process always holds some; Wine 8's
// GetProcessHandleCount answers 0, and there the handle table is counted
// instead by asking for each handle value's flags (values are multiples of 4,
// handed out lowest free first).
DWORD HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count) return count;
    for (ULONG_PTR value = 4; value < (1u << 18); value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    }
    return count;
}

// The private bytes (commit charge). Windows reports them in PrivateUsage and
// in PagefileUsage alike; Wine 8 fills in only PagefileUsage.
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory), sizeof memory))
        return 0;
    return memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
}

Usage Measure() {
    Usage usage;
    usage.handles = HandleCount();
    usage.privateBytes = PrivateBytes();
    usage.threads = ThreadCount();
    usage.heapBytes = CrtHeapBytes();
    return usage;
}

void PrintUsage(const char *when, const Usage &usage) {
    printf("  %-28s %8lu %14.1f %8lu %16lld\n", when, static_cast<unsigned long>(usage.handles),
           usage.privateBytes / 1024.0, static_cast<unsigned long>(usage.threads),
           usage.heapBytes);
}

// One install and its removal; false (with the reason printed) unless both
// succeed without flags.
bool Cycle(INdisFilterHelper2 *filter, const wchar_t *inf, bool timed, int number) {
    BOOL restart = FALSE, cancelled = FALSE, timedOut = FALSE, removedRestart = FALSE,
         removedTimedOut = FALSE;
    const BOOL installed = timed ? filter->InstallWithTimeout(inf, kLimitMs, &timedOut, &restart,
                                                              &cancelled)
                                 : filter->Install(inf, &restart, &cancelled);
    const BOOL removed = timed ? filter->UninstallWithTimeout(kLimitMs, &removedTimedOut,
                                                              &removedRestart)
                               : filter->Uninstall(&removedRestart);
    ClearCallLog();  // keeps the server's appends to a short file
    if (installed && removed && !restart && !cancelled && !timedOut && !removedRestart &&
        !removedTimedOut)
        return true;
    printf("%s cycle %d: install %d (restart %d, cancelled %d, timed out %d), uninstall %d "
           "(restart %d, timed out %d)\n",
           timed ? "timed" : "direct", number, installed, restart, cancelled, timedOut, removed,
           removedRestart, removedTimedOut);
    return false;
}

bool Cycles(INdisFilterHelper2 *filter, const wchar_t *inf, bool timed, int count) {
    for (int i = 0; i < count; ++i)
        if (!Cycle(filter, inf, timed, i)) return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::wstring library, inf;
    int cycles = 1000, warmup = 10;
    long maxGrowthKib = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--library"))
            library = Widen(argv[i + 1]);
        else if (!strcmp(argv[i], "--inf"))
            inf = Widen(argv[i + 1]);
        else if (!strcmp(argv[i], "--cycles"))
            cycles = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--warmup"))
            warmup = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--max-growth-kib"))
            maxGrowthKib = atol(argv[i + 1]);
        else
            cycles = -1;
    }
    if (maxGrowthKib == -1) maxGrowthKib = kGrowthPerCycleKib * cycles;
    if (argc % 2 == 0 || cycles < 2 || warmup < 0 || maxGrowthKib < 0) {
        fprintf(stderr,
                "usage: %s [--library PATH] [--inf PATH] [--cycles N] [--warmup N] "
                "[--max-growth-kib K]\n",
                argv[0]);
        return 2;
    }
    if (library.empty()) library = ProgramDirectory() + L"\\ndisfilter.dll";
    if (inf.empty()) inf = library.substr(0, library.rfind(L'\\') + 1) + L"DorvaneV.inf";

    PrepareStateDirectory();
    PrepareInfStore();
    StartScenario("soak", "");
    INdisFilterHelper2 *filter = NewFilter(library);
    if (!filter) return 1;
    const int half = cycles / 2;
    printf("soak: %s, %d direct then %d timed install/uninstall cycles after %d of each\n",
           Narrow(library).c_str(), half, half, warmup);
    bool ok = Cycles(filter, inf.c_str(), false, warmup) && Cycles(filter, inf.c_str(), true, warmup);
    Usage before, middle, after;
    if (ok) {
        before = Measure();
        ok = Cycles(filter, inf.c_str(), false, half);
    }
    if (ok) {
        middle = Measure();
        ok = Cycles(filter, inf.c_str(), true, half);
    }
    if (ok) after = Measure();
    filter->Release();
    const int left = CopiesInInfStore();
    RestoreInfStore();
    if (!ok) {
        printf("stopped: a cycle failed\n");
        return 1;
    }
    printf("  %-28s %8s %14s %8s %16s\n", "", "handles", "private KiB", "threads",
           "C heap bytes");
    PrintUsage("before", before);
    PrintUsage("after the direct cycles", middle);
    PrintUsage("after the timed cycles", after);
    const double growthKib =
        (static_cast<double>(after.privateBytes) - static_cast<double>(before.privateBytes)) / 1024;
    printf("  private bytes grew by %.1f KiB (bound %ld KiB); copies of the INF left: %d\n",
           growthKib, maxGrowthKib, left);
    int passes = 0;
    int failures = 0;
    auto expect = [&passes, &failures](bool good, const char *what) {
        if (!good) printf("FAIL  %s\n", what);
        ++(good ? passes : failures);
    };
    expect(middle.handles == before.handles, "handle count back after the direct cycles");
    expect(after.handles == before.handles, "handle count back after the timed cycles");
    expect(middle.threads == before.threads, "thread count back after the direct cycles");
    expect(after.threads == before.threads, "thread count back after the timed cycles");
    expect(before.privateBytes > 0, "private bytes read");
    expect(before.handles > 0 && before.threads > 0, "handles and threads counted");
    expect(growthKib <= static_cast<double>(maxGrowthKib), "private bytes within the bound");
    expect(before.heapBytes >= 0 && after.heapBytes >= 0, "C runtime heap walked");
    expect(middle.heapBytes == before.heapBytes, "C runtime heap back after the direct cycles");
    expect(after.heapBytes == before.heapBytes, "C runtime heap back after the timed cycles");
    expect(left == 0, "no copy of the INF left in the store");
    printf("soak: %d passed, %d failed\n", passes, failures);
    return failures ? 1 : 0;
}
