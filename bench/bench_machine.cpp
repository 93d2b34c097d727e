// The benchmarks' main: a simulated machine in a temporary folder around the
// Google Benchmark run.
#include "bench_machine.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "sim/machine.h"

namespace bench {
namespace {
std::string g_root;
}

void FreshMachine() { sim::Reset(g_root); }

void WriteMachineFile(const std::string &windowsPath, const std::string &bytes) {
    const std::filesystem::path host = sim::HostPath(windowsPath);
    std::filesystem::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary | std::ios::trunc) << bytes;
}

void RemoveMachineFile(const std::string &windowsPath) {
    std::error_code ignored;
    std::filesystem::remove(sim::HostPath(windowsPath), ignored);
}

INdisFilterHelper2 *NewFilter() {
    void *object = nullptr;
    const GUID anyClass = {};
    if (DllGetClassObject(anyClass, IID_INdisFilterHelper2, &object) != S_OK) abort();
    return static_cast<INdisFilterHelper2 *>(object);
}

}  // namespace bench

int main(int argc, char **argv) {
    char pattern[] = "/tmp/ndisfilter-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    bench::g_root = pattern;
    bench::FreshMachine();
    bench::WriteMachineFile(
        "D:\\drivers\\pkg\\DorvaneV.inf",
        "; DorvaneV.INF\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=NetService\r\n");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ignored;
    std::filesystem::remove_all(bench::g_root, ignored);
    return 0;
}
