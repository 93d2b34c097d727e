#!/usr/bin/env bash
# Builds the host benchmarks (preset host-bench, optimised) and runs them.
# They measure and assert nothing, so the test command does not run them.
# Arguments go to both programs, e.g.
#   scripts/bench.sh --benchmark_filter=Lateness
#   scripts/bench.sh --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
# Figures and how to read them: docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset host-bench >/dev/null
cmake --build --preset host-bench -j2 --target ndisfilter_bench ndisfilter_bench_own_share

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, $(uname -sr), $(date -u +%F)"
echo "-- on the simulated machine"
build/host-bench/bench/ndisfilter_bench "$@"
echo "-- the library alone, over a platform that answers at once"
build/host-bench/bench/ndisfilter_bench_own_share "$@"
