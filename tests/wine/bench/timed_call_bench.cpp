// ndisfilter.dll under Wine against the test network configuration server:
// what running an install on a worker thread (InstallWithTimeout) costs over
// running it on the calling thread (Install), set against its floor (a bare
// worker thread, and one that initialises the component runtime), and how late a timed call
// returns after its limit when the worker hangs inside the server.
//
// It measures and asserts nothing about time; it stops with exit code 1 when
// an operation does not do what the measurement assumes (an install that
// fails, a hung call that is not timed out).
//
// Usage: ndisfilter_wine_bench.exe [--library PATH] [--inf PATH] [--pairs N]
//                                  [--warmup N] [--lateness MS:CALLS,...]
//   --library   default: ndisfilter.dll beside this program
//   --inf       default: DorvaneV.inf beside the library
//   --pairs     measured pairs of installs (default 300; 0: none), after
//               --warmup (20)
//   --lateness  limits and calls each (default 0:100,10:100,100:20; "none")
#include <initguid.h>  // the interface ids are defined here

#include "wine_bench.h"

#include <cguid.h>
#include <objbase.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "ndisfilter.h"

using namespace winebench;

namespace {

constexpr DWORD kGenerousLimitMs = 60000;
constexpr DWORD kTerminatedExitCode = 1;  // what the library passes to TerminateThread
constexpr int kMaxCallsPerLimit = 10000;
constexpr DWORD kPrimingLimitMs = 2000;

struct Options {
    std::wstring library;
    std::wstring inf;
    int pairs = 300;
    int warmup = 20;
    std::vector<std::pair<DWORD, int>> lateness = {{0, 100}, {10, 100}, {100, 20}};
};

bool ParseLateness(const char *text, std::vector<std::pair<DWORD, int>> &out) {
    out.clear();
    while (*text) {
        char *end = nullptr;
        const unsigned long limit = strtoul(text, &end, 10);
        if (end == text || *end != ':') return false;
        text = end + 1;
        const long calls = strtol(text, &end, 10);
        if (end == text || calls <= 0 || calls > kMaxCallsPerLimit) return false;
        out.emplace_back(static_cast<DWORD>(limit), static_cast<int>(calls));
        text = *end == ',' ? end + 1 : end;
        if (*end && *end != ',') return false;
    }
    return !out.empty();
}

bool ParseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) return false;
        if (!strcmp(argv[i], "--library"))
            options.library = Widen(value);
        else if (!strcmp(argv[i], "--inf"))
            options.inf = Widen(value);
        else if (!strcmp(argv[i], "--pairs"))
            options.pairs = atoi(value);
        else if (!strcmp(argv[i], "--warmup"))
            options.warmup = atoi(value);
        else if (!strcmp(argv[i], "--lateness")) {
            if (strcmp(value, "none") && !ParseLateness(value, options.lateness)) return false;
            if (!strcmp(value, "none")) options.lateness.clear();
        } else
            return false;
        ++i;
    }
    if (options.library.empty()) options.library = ProgramDirectory() + L"\\ndisfilter.dll";
    if (options.inf.empty())
        options.inf = options.library.substr(0, options.library.rfind(L'\\') + 1) + L"DorvaneV.inf";
    return options.pairs >= 0 && options.warmup >= 0;
}

// A terminated worker can take a process-wide lock with it (the heap's, a
// critical section of the runtime or the loader); the next step that needs
// it never returns. The watchdog then prints what the series measured so far
// and ends the process, instead of leaving it hanging.
std::atomic<LONGLONG> g_deadline{0};  // counter ticks; 0: disarmed
std::atomic<DWORD> g_seriesLimit{0};
double g_late[kMaxCallsPerLimit];  // this series' lateness so far, ms
std::atomic<int> g_lateCount{0};

void Arm(DWORD seconds) {
    g_deadline = Now() + static_cast<LONGLONG>(seconds) * CounterFrequency();
}
void Disarm() { g_deadline = 0; }

DWORD WINAPI Watchdog(void *) {
    for (;;) {
        Sleep(500);
        const LONGLONG deadline = g_deadline.load();
        if (!deadline || Now() < deadline) continue;
        // Nothing here allocates: the heap may be the lock that was lost.
        static double sorted[kMaxCallsPerLimit];
        const int count = g_lateCount.load();
        std::copy(g_late, g_late + count, sorted);
        std::sort(sorted, sorted + count);
        char text[400];
        const int length = snprintf(
            text, sizeof text,
            "\n  stalled: no progress for 30 s with a %lu ms limit after %d timed-out calls "
            "(a terminated worker kept a lock)\n  those %d calls: median %.3f ms, worst %.3f ms "
            "late\n",
            static_cast<unsigned long>(g_seriesLimit.load()), count, count,
            count ? sorted[count / 2] : 0.0, count ? sorted[count - 1] : 0.0);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written,
                  nullptr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

void PrintRow(const char *what, const Summary &s, const char *unit) {
    printf("  %-44s %10.1f %10.1f %10.1f  %s\n", what, s.median, s.p90, s.worst, unit);
}

// The floor of a timed call: what starting a worker, waiting for it and
// closing its handle costs with no work in it, and with the component
// runtime initialised and torn down on it as the library's worker does.
unsigned __stdcall EmptyWorker(void *) { return 0; }
unsigned __stdcall RuntimeWorker(void *) {
    const HRESULT hr = CoInitialize(nullptr);
    if (SUCCEEDED(hr)) CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
// Microseconds for one worker's start, wait and close; negative on failure.
double TimeWorker(unsigned(__stdcall *body)(void *)) {
    const LONGLONG t0 = Now();
    const auto worker =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, nullptr, 0, nullptr));
    if (!worker) return -1;
    DWORD code = 1;
    const bool ended = WaitForSingleObject(worker, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeThread(worker, &code);
    CloseHandle(worker);
    const LONGLONG t1 = Now();
    return ended && code == 0 ? TicksToMicroseconds(t1 - t0) : -1;
}

// Pairs of one direct and one timed install from the same INF, each followed
// by an Uninstall outside the measured span. The order within a pair
// alternates, so that whatever the first install of a pair pays (or leaves
// behind for the second) falls on both sides alike.
bool MeasureOverhead(INdisFilterHelper2 *filter, const Options &options) {
    StartScenario("overhead", "");
    std::vector<double> direct, timed, paired, bare, runtime;
    const LPCWSTR inf = options.inf.c_str();
    for (int pair = 0; pair < options.warmup + options.pairs; ++pair) {
        Arm(2 * kGenerousLimitMs / 1000 + 30);
        double spans[2] = {0, 0};  // [0]: direct, [1]: timed
        for (int step = 0; step < 2; ++step) {
            const bool runTimed = (step == 0) == (pair % 2 == 1);
            BOOL restart = FALSE, cancelled = FALSE, timedOut = FALSE, ok;
            const LONGLONG t0 = Now();
            if (runTimed)
                ok = filter->InstallWithTimeout(inf, kGenerousLimitMs, &timedOut, &restart,
                                                &cancelled);
            else
                ok = filter->Install(inf, &restart, &cancelled);
            const LONGLONG t1 = Now();
            BOOL removedRestart = FALSE;
            const BOOL removed = filter->Uninstall(&removedRestart);
            if (!ok || timedOut || restart || cancelled || !removed) {
                printf(
                    "pair %d, %s: result %d, timed out %d, restart %d, cancelled %d; uninstall "
                    "%d\n",
                    pair, runTimed ? "InstallWithTimeout" : "Install", ok, timedOut, restart,
                    cancelled, removed);
                return false;
            }
            spans[runTimed ? 1 : 0] = TicksToMicroseconds(t1 - t0);
        }
        ClearCallLog();  // keeps the server's appends to a short file
        // The floor, measured between the same pairs so that load drift
        // falls on it too.
        const double bareSpan = TimeWorker(EmptyWorker), runtimeSpan = TimeWorker(RuntimeWorker);
        if (bareSpan < 0 || runtimeSpan < 0) {
            printf("pair %d: a floor worker could not be started or failed\n", pair);
            return false;
        }
        if (pair < options.warmup) continue;
        bare.push_back(bareSpan);
        runtime.push_back(runtimeSpan);
        direct.push_back(spans[0]);
        timed.push_back(spans[1]);
        paired.push_back(spans[1] - spans[0]);
    }
    Disarm();
    const int leftInStore = CopiesInInfStore();
    const Summary d = Summarise(direct), t = Summarise(timed), p = Summarise(paired);
    printf(
        "\nInstall (explicit INF) against InstallWithTimeout (%lu ms limit, the worker "
        "finishes):\n",
        static_cast<unsigned long>(kGenerousLimitMs));
    printf("  %d pairs after %d warm-up pairs; each install followed by an Uninstall (not timed)\n",
           options.pairs, options.warmup);
    printf("  %-44s %10s %10s %10s\n", "", "median", "p90", "worst");
    PrintRow("Install", d, "us");
    PrintRow("InstallWithTimeout", t, "us");
    PrintRow("paired difference (timed - direct)", p, "us");
    printf("  overhead, difference of medians: %.1f us\n", t.median - d.median);
    printf("  overhead, median of paired differences: %.1f us\n", p.median);
    const Summary b = Summarise(bare), r = Summarise(runtime);
    printf("\nThe floor: a worker started, waited for and closed (_beginthreadex, one per pair):\n");
    printf("  %-44s %10s %10s %10s\n", "", "median", "p90", "worst");
    PrintRow("empty worker", b, "us");
    PrintRow("worker with CoInitialize + CoUninitialize", r, "us");
    printf("  overhead / empty worker: %.2f\n", b.median > 0 ? p.median / b.median : 0.0);
    printf("  overhead / worker with the component runtime: %.2f\n",
           r.median > 0 ? p.median / r.median : 0.0);
    printf("  copies of the INF left in the store after the last Uninstall: %d\n", leftInStore);
    return leftInStore == 0;
}

// The worker hangs at its first call into the server; every timed call must
// come back timed out. Lateness: the call's duration minus its limit.
bool MeasureLateness(INdisFilterHelper2 *filter, const Options &options) {
    StartScenario("lateness", "answer IClassFactory.CreateInstance hang\n");
    printf(
        "\nInstallWithTimeout with the worker hanging inside the server (lateness past the "
        "limit):\n");
    printf("  %8s %6s %16s %10s %10s %10s\n", "limit", "calls", "hung in server", "median", "p90",
           "worst");
    bool ok = true;
    for (const auto &[limit, calls] : options.lateness) {
        g_seriesLimit = limit;
        g_lateCount = 0;
        Arm(30);
        // One uncounted call whose worker surely reaches the hang first: the
        // process's first call loads the server's DLL on the worker, and a
        // worker ended inside the loader would stall the process.
        BOOL primeTimedOut = FALSE, primeRestart = FALSE, primeCancelled = FALSE;
        filter->InstallWithTimeout(options.inf.c_str(), kPrimingLimitMs, &primeTimedOut,
                                   &primeRestart, &primeCancelled);
        ClearCallLog();
        int notTimedOut = 0;
        for (int call = 0; call < calls; ++call) {
            BOOL restart = FALSE, cancelled = FALSE, timedOut = FALSE;
            Arm(limit / 1000 + 30);
            const LONGLONG t0 = Now();
            const BOOL result = filter->InstallWithTimeout(options.inf.c_str(), limit, &timedOut,
                                                           &restart, &cancelled);
            const LONGLONG t1 = Now();
            if (result) {
                printf("  limit %lu ms, call %d: the hung install succeeded\n",
                       static_cast<unsigned long>(limit), call);
                return false;
            }
            // FALSE without a timeout: the worker could not be started.
            if (!timedOut) {
                ++notTimedOut;
                continue;
            }
            g_late[g_lateCount] = (TicksToMicroseconds(t1 - t0) - limit * 1000.0) / 1000.0;
            ++g_lateCount;
        }
        const std::vector<double> late(g_late, g_late + g_lateCount.load());
        // A worker terminated before it reached the server never hung there.
        const HangReport hung = CollectHungWorkers(kTerminatedExitCode);
        const Summary s = Summarise(late);
        char reached[32];
        snprintf(reached, sizeof reached, "%d", hung.hung);
        printf("  %5lu ms %6d %16s %10.3f %10.3f %10.3f  ms\n", static_cast<unsigned long>(limit),
               calls, reached, s.median, s.p90, s.worst);
        if (notTimedOut)
            printf(
                "  %d call(s) returned FALSE without a timeout (no worker started); not in the "
                "figures\n",
                notTimedOut);
        if (hung.terminated != hung.hung) {
            printf("  %d of the %d hung workers did not end with exit code %lu\n",
                   hung.hung - hung.terminated, hung.hung,
                   static_cast<unsigned long>(kTerminatedExitCode));
            ok = false;
        }
    }
    Disarm();
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s [--library PATH] [--inf PATH] [--pairs N] [--warmup N] [--lateness "
                "MS:CALLS,...]\n",
                argv[0]);
        return 2;
    }
    if (GetFileAttributesW(options.inf.c_str()) == INVALID_FILE_ATTRIBUTES) {
        printf("no INF at %s\n", Narrow(options.inf).c_str());
        return 1;
    }
    printf("library: %s\nINF:     %s\nQueryPerformanceFrequency: %lld Hz\n",
           Narrow(options.library).c_str(), Narrow(options.inf).c_str(),
           static_cast<long long>(CounterFrequency()));

    const HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog) CloseHandle(watchdog);
    PrepareStateDirectory();
    PrepareInfStore();
    INdisFilterHelper2 *filter = NewFilter(options.library);
    bool ok = filter != nullptr;
    ok = ok && (options.pairs == 0 || MeasureOverhead(filter, options));
    // Lateness last: terminated workers leave the server's objects behind.
    ok = ok && (options.lateness.empty() || MeasureLateness(filter, options));
    if (filter) filter->Release();
    RestoreInfStore();
    printf("\n%s\n",
           ok ? "done" : "stopped: an operation did not behave as the measurement assumes");
    return ok ? 0 : 1;
}
