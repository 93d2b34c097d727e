// The library's own share of an install and a removal: the same sources
// over a platform that answers every call at once (instant_platform.cpp).
// What is measured is the library's work between the calls: INF path
// resolution and bounded copies, the path split, the call sequence itself,
// and for the removal the purge's fifty name builds.
#include <benchmark/benchmark.h>

#include "ndisfilter.h"

namespace {

INdisFilterHelper *NewFilter() {
    void *object = nullptr;
    const GUID anyClass = {};
    DllGetClassObject(anyClass, IID_INdisFilterHelper, &object);
    return static_cast<INdisFilterHelper *>(object);
}

void BM_OwnShareInstallExplicitInf(benchmark::State &state) {
    INdisFilterHelper *filter = NewFilter();
    for (auto _ : state) {
        BOOL restart = FALSE, cancelled = FALSE;
        benchmark::DoNotOptimize(
            filter->Install(L"D:\\drivers\\pkg\\DorvaneV.inf", &restart, &cancelled));
    }
    filter->Release();
}
BENCHMARK(BM_OwnShareInstallExplicitInf)->Unit(benchmark::kMicrosecond);

void BM_OwnShareInstallDefaultInf(benchmark::State &state) {
    INdisFilterHelper *filter = NewFilter();
    for (auto _ : state) {
        BOOL restart = FALSE, cancelled = FALSE;
        benchmark::DoNotOptimize(filter->Install(nullptr, &restart, &cancelled));
    }
    filter->Release();
}
BENCHMARK(BM_OwnShareInstallDefaultInf)->Unit(benchmark::kMicrosecond);

void BM_OwnShareUninstall(benchmark::State &state) {
    INdisFilterHelper *filter = NewFilter();
    for (auto _ : state) {
        BOOL restart = FALSE;
        benchmark::DoNotOptimize(filter->Uninstall(&restart));
    }
    filter->Release();
}
BENCHMARK(BM_OwnShareUninstall)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
