#!/usr/bin/env bash
# The timed operations measured under Wine with the real ndisfilter.dll
# (build/windows-x64/ndisfilter/ndisfilter.dll) against the test network
# configuration server: InstallWithTimeout's overhead over Install, and how
# late a timed call returns after its limit when the worker hangs.
# It measures and asserts nothing, so the test command does not run it.
#
# Builds the windows-x64 preset's library, test server and benchmark, then
# runs the benchmark in a Wine prefix of its own (NDISFILTER_BENCH_PREFIX,
# default build/wine-prefix-bench; created on first use, kept afterwards) with
# the test server registered for CLSID_CNetCfg. Ends that prefix's wineserver.
# Each lateness limit runs in a process of its own: a worker terminated while
# it held a process-wide lock stalls the rest of its process (the program
# then prints what it measured and stops), and should not cost the others.
# Options (defaults in brackets):
#   --pairs N [300] --warmup N [20]     direct/timed install pairs
#   --lateness MS:CALLS,... [0:100,10:100,100:20]
# Figures and how to read them: docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=300 warmup=20 lateness=0:100,10:100,100:20
while [[ $# -gt 0 ]]; do
    case $1 in
        --pairs) pairs=$2 ;;
        --warmup) warmup=$2 ;;
        --lateness) lateness=$2 ;;
        *) echo "usage: $0 [--pairs N] [--warmup N] [--lateness MS:CALLS,...]" >&2; exit 2 ;;
    esac
    shift 2
done
ROOT=$PWD
BIN="$ROOT/build/windows-x64/tests/wine"
LIBRARY="$ROOT/build/windows-x64/ndisfilter/ndisfilter.dll"
INF="$ROOT/inf/DorvaneV.inf"

cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j2 --target ndisfilter fake_netcfg ndisfilter_wine_bench

# A prefix apart from the tests' build/wine-prefix, so that a test run going
# on at the same time keeps its server and registration to itself.
export WINEPREFIX=${NDISFILTER_BENCH_PREFIX:-$ROOT/build/wine-prefix-bench}
source tests/wine/wine-env.sh
start_prefix  # one server for the registration and the run
register_netcfg "$(wine_path "$BIN/fake_netcfg.dll")" 64

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, $(uname -sr), $("$WINE" --version 2>/dev/null), $(date -u +%F)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
run() {  # the program's options; the program stops a stalled run itself
    timeout 1800 "$WINE" "$BIN/ndisfilter_wine_bench.exe" \
        --library "$(wine_path "$LIBRARY")" --inf "$(wine_path "$INF")" "$@"
}
status=0
run --pairs "$pairs" --warmup "$warmup" --lateness none || status=1
IFS=, read -ra series <<<"$lateness"
for one in "${series[@]}"; do
    run --pairs 0 --lateness "$one" | sed -n '/^Install/,$p' || status=1
done
exit $status
