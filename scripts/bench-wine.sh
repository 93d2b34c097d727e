#!/usr/bin/env bash
# The timed operations measured under Wine with the real ndisfilter.dll
# (build/windows-<arch>/ndisfilter/ndisfilter.dll) against the test network
# configuration server: InstallWithTimeout's overhead over Install beside its
# floor (a bare worker thread, and one that initialises the component
# runtime), how late a timed call returns after its limit when the worker
# hangs, and a soak of install/uninstall cycles with the process's handles,
# private bytes and threads before and after.
# The test command runs only a short soak (tests/wine/run.sh).
#
# Builds the windows-<arch> preset's library, test server and programs, then
# runs them in the benchmarks' Wine prefix (scripts/wine-bench-prefix.sh).
# Ends that prefix's wineserver.
# Each lateness limit runs in a process of its own: a worker terminated while
# it held a process-wide lock stalls the rest of its process (the program
# then prints what it measured and stops), and should not cost the others.
# Options (defaults in brackets):
#   --pairs N [300] --warmup N [20]     direct/timed install pairs
#   --lateness MS:CALLS,... [0:100,10:100,100:20]
#   --soak CYCLES [1000]                half direct, half timed; 0: none
#   --arch x64|x86|wow64 [x64]   (wow64: the 32-bit build in the 64-bit prefix)
# Figures and how to read them: docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=300 warmup=20 lateness=0:100,10:100,100:20 soak=1000 arch=x64
while [[ $# -gt 0 ]]; do
    case $1 in
        --pairs) pairs=$2 ;;
        --warmup) warmup=$2 ;;
        --lateness) lateness=$2 ;;
        --soak) soak=$2 ;;
        --arch) arch=$2 ;;
        *) echo "usage: $0 [--arch x64|x86|wow64] [--pairs N] [--warmup N] [--lateness MS:CALLS,...] [--soak CYCLES]" >&2; exit 2 ;;
    esac
    shift 2
done
bench_targets=(ndisfilter ndisfilter_wine_bench ndisfilter_wine_soak)
source scripts/wine-bench-prefix.sh
LIBRARY="$ROOT/build/$PRESET/ndisfilter/ndisfilter.dll"
INF="$ROOT/inf/DorvaneV.inf"

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, $(uname -sr), $("$WINE" --version 2>/dev/null), $arch build, $(date -u +%F)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
run() {  # the program's options; the program stops a stalled run itself
    timeout 1800 "$WINE" "$BIN/ndisfilter_wine_bench.exe" \
        --library "$(wine_path "$LIBRARY")" --inf "$(wine_path "$INF")" "$@"
}
status=0
if [[ $pairs != 0 ]]; then run --pairs "$pairs" --warmup "$warmup" --lateness none || status=1; fi
series=()
[[ $lateness == none ]] || IFS=, read -ra series <<<"$lateness"
for one in "${series[@]}"; do
    run --pairs 0 --lateness "$one" | sed -n '/^Install/,$p' || status=1
done
if [[ $soak != 0 ]]; then
    echo
    timeout 1800 "$WINE" "$BIN/ndisfilter_wine_soak.exe" --cycles "$soak" \
        --library "$(wine_path "$LIBRARY")" --inf "$(wine_path "$INF")" || status=1
fi
exit $status
