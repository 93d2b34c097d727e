// The timed operations on the simulated machine: what running the work on a
// worker thread costs over running it on the calling thread, and how late a
// timed call returns when its worker hangs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench_machine.h"
#include "sim/machine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Each iteration installs once directly and once through InstallWithTimeout
// (a limit the worker never reaches), removing the component after each
// outside the measured spans. The iteration time is the timed install's;
// the counters give both means and the median of the per-pair differences.
void BM_InstallWithTimeoutOverDirectInstall(benchmark::State &state) {
    bench::FreshMachine();
    INdisFilterHelper2 *filter = bench::NewFilter();
    std::vector<double> direct, timed, overhead;
    for (auto _ : state) {
        BOOL timedOut = FALSE, restart = FALSE, cancelled = FALSE;
        const auto t0 = Clock::now();
        const BOOL directOk = filter->Install(bench::kInfPath, &restart, &cancelled);
        const auto t1 = Clock::now();
        filter->Uninstall(&restart);
        const auto t2 = Clock::now();
        const BOOL timedOk =
            filter->InstallWithTimeout(bench::kInfPath, 60000, &timedOut, &restart, &cancelled);
        const auto t3 = Clock::now();
        filter->Uninstall(&restart);
        if (!directOk || !timedOk) {
            state.SkipWithError("install failed");
            break;
        }
        direct.push_back(Microseconds(t1 - t0));
        timed.push_back(Microseconds(t3 - t2));
        overhead.push_back(timed.back() - direct.back());
        state.SetIterationTime(std::chrono::duration<double>(t3 - t2).count());
        if (direct.size() % 250 == 0) bench::FreshMachine();
    }
    filter->Release();
    if (direct.empty()) return;
    state.counters["direct_median_us"] = Median(direct);
    state.counters["timed_median_us"] = Median(timed);
    state.counters["overhead_median_us"] = Median(overhead);
}
BENCHMARK(BM_InstallWithTimeoutOverDirectInstall)
    ->UseManualTime()
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

// The worker hangs at its first platform call; the call returns after its
// limit, once the worker is terminated and has ended. Lateness is the time
// past the limit; every call abandons one parked thread, so the iteration
// counts are fixed and small.
void BM_TimedCallLatenessAfterLimit(benchmark::State &state) {
    const auto limit = static_cast<DWORD>(state.range(0));
    bench::FreshMachine();
    sim::Script(sim::Call::CoInitialize, sim::Answer::Hang(), 0);
    INdisFilterHelper2 *filter = bench::NewFilter();
    std::vector<double> late;
    for (auto _ : state) {
        BOOL timedOut = FALSE, restart = FALSE, cancelled = FALSE;
        const auto t0 = Clock::now();
        filter->InstallWithTimeout(bench::kInfPath, limit, &timedOut, &restart, &cancelled);
        const auto t1 = Clock::now();
        if (!timedOut) {
            state.SkipWithError("the hung worker was not timed out");
            break;
        }
        late.push_back(Microseconds(t1 - t0) - limit * 1000.0);
    }
    filter->Release();
    sim::ClearScripts();
    if (late.empty()) return;
    state.counters["late_median_us"] = Median(late);
    state.counters["late_worst_us"] = *std::max_element(late.begin(), late.end());
    state.counters["terminated"] = sim::ThreadsTerminated();
}
BENCHMARK(BM_TimedCallLatenessAfterLimit)->Arg(0)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimedCallLatenessAfterLimit)->Arg(10)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimedCallLatenessAfterLimit)->Arg(100)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace
