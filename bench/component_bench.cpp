// The component object and the install/removal work on the simulated
// machine.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_machine.h"
#include "setup/oem_inf_purge.h"

namespace {

constexpr int kCallsBetweenResets = 500;

void BM_DllGetClassObjectRelease(benchmark::State &state) {
    const GUID anyClass = {};
    for (auto _ : state) {
        void *object = nullptr;
        DllGetClassObject(anyClass, IID_INdisFilterHelper2, &object);
        benchmark::DoNotOptimize(object);
        static_cast<INdisFilterHelper2 *>(object)->Release();
    }
}
BENCHMARK(BM_DllGetClassObjectRelease);

// Install with an explicit INF, then Uninstall (which ends with the purge).
void BM_InstallUninstall(benchmark::State &state) {
    bench::FreshMachine();
    INdisFilterHelper2 *filter = bench::NewFilter();
    int calls = 0;
    for (auto _ : state) {
        BOOL restart = FALSE, cancelled = FALSE;
        if (!filter->Install(bench::kInfPath, &restart, &cancelled) ||
            !filter->Uninstall(&restart)) {
            state.SkipWithError("install or uninstall failed");
            break;
        }
        if (++calls % kCallsBetweenResets == 0) {
            state.PauseTiming();
            bench::FreshMachine();
            state.ResumeTiming();
        }
    }
    filter->Release();
}
BENCHMARK(BM_InstallUninstall)->Unit(benchmark::kMicrosecond);

// Fifty INF copies of other drivers, none with our marker: every candidate
// is opened and its head read and searched.
void BM_PurgeFiftyCandidatesNoMatch(benchmark::State &state) {
    bench::FreshMachine();
    std::string otherInf =
        "; another vendor's network driver\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";
    while (otherInf.size() < 2048) otherInf += "; padding line of an ordinary INF file\r\n";
    for (int n = 0; n < 50; ++n)
        bench::WriteMachineFile("C:\\WINDOWS\\inf\\oem" + std::to_string(n) + ".inf", otherInf);
    int calls = 0;
    for (auto _ : state) {
        ndisfilter::PurgeOemInfCopies();
        if (++calls % kCallsBetweenResets == 0) {
            state.PauseTiming();
            bench::FreshMachine();
            state.ResumeTiming();
        }
    }
    for (int n = 0; n < 50; ++n)
        bench::RemoveMachineFile("C:\\WINDOWS\\inf\\oem" + std::to_string(n) + ".inf");
}
BENCHMARK(BM_PurgeFiftyCandidatesNoMatch)->Unit(benchmark::kMicrosecond);

}  // namespace
