// The floor of `ndisfilterctl check`: a program that makes the same reads
// (the pre-flight readers of tools/common/preflight.h, called directly on
// the INF named by its argument: the one beside ndisfilterctl) and prints
// the summary line. A benchmark program, not a test:
// scripts/bench-status-wine.sh runs it beside check.
#include <windows.h>

#include <cstdio>

#include "tools/common/preflight.h"

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) return 2;
    const ndisfilter::tools::PreflightResult result = ndisfilter::tools::RunPreflight(argv[1]);
    std::printf("%ls\n", ndisfilter::tools::DescribeSummary(result.summary).c_str());
    return result.summary.exitCode;
}
