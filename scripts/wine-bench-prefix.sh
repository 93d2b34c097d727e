# shellcheck shell=bash
# Sourced by the Wine benchmarks (scripts/bench-*wine.sh) from the top of the
# tree, once they have read $arch (x64, x86 or wow64): builds the test
# network configuration server and the targets named in bench_targets for
# that architecture's preset, then enters the benchmarks' own Wine prefix
# (NDISFILTER_BENCH_PREFIX, default build/wine-prefix-bench, -x86 for x86;
# created on first use, kept afterwards) with one server and the test server
# registered for CLSID_CNetCfg. A prefix apart from the tests'
# build/wine-prefix keeps a test run going on at the same time to itself.
# Sets ROOT, PRESET, REG_VIEW and BIN (the preset's tests/wine folder); exits 1
# where this machine cannot run the 32-bit build.
ROOT=$PWD
source tests/wine/arch.sh
wine_arch "$arch" wine-prefix-bench
BIN="$ROOT/build/$PRESET/tests/wine"
bench_build_log="$ROOT/build/bench-$arch-build.log"
mkdir -p "$ROOT/build"
if ! { cmake --preset "$PRESET" && cmake --build --preset "$PRESET" -j2 --target fake_netcfg "${bench_targets[@]}"; } >"$bench_build_log" 2>&1; then
    cat "$bench_build_log" >&2
    exit 1
fi

export WINEPREFIX=${NDISFILTER_BENCH_PREFIX:-$ROOT/build/$PREFIX}
source tests/wine/wine-env.sh
if cannot_run_build "$PRESET"; then exit 1; fi
stop_wineserver  # a server left from an earlier run would keep its registration
start_prefix
register_netcfg "$(wine_path "$BIN/fake_netcfg.dll")" $REG_VIEW
