#!/usr/bin/env bash
# `ndisfilterctl status` beside a minimal program that makes the same
# platform reads (tests/wine/bench/status_floor.cpp), under Wine against the
# test network configuration server, measured side by side in one run: each
# round starts both programs once, in alternating order, and the medians of
# their wall times (process start included) are compared. Not part of the
# tests. Usage: scripts/bench-status-wine.sh [--rounds N (20)] [--arch x64|x86|wow64]
# Figures: docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=20 arch=x64
while [[ $# -gt 0 ]]; do
    case $1 in
        --rounds) rounds=$2 ;;
        --arch) arch=$2 ;;
        *) echo "usage: $0 [--rounds N] [--arch x64|x86|wow64]" >&2; exit 2 ;;
    esac
    shift 2
done
ROOT=$PWD
source tests/wine/arch.sh
wine_arch "$arch" wine-prefix-bench
preset=$PRESET
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target ndisfilterctl fake_netcfg ndisfilter_status_floor >/dev/null

export WINEPREFIX=${NDISFILTER_BENCH_PREFIX:-$ROOT/build/$PREFIX}
source tests/wine/wine-env.sh
if cannot_run_build "$preset"; then exit 1; fi
stop_wineserver
start_prefix
register_netcfg "$(wine_path "$ROOT/build/$preset/tests/wine/fake_netcfg.dll")" $REG_VIEW
STATE_UNIX="$WINEPREFIX/drive_c/status-bench"
rm -rf "$STATE_UNIX" && mkdir -p "$STATE_UNIX"
export FAKE_NETCFG_DIR='C:\status-bench'
CTL="$ROOT/build/$preset/ndisfilter/ndisfilterctl.exe"
FLOOR="$ROOT/build/$preset/tests/wine/ndisfilter_status_floor.exe"

# Installed, with its copy in the store: status has something to find.
"$WINE" "$CTL" install --quiet >/dev/null 2>&1 || true
echo "ndisfilterctl status: $("$WINE" "$CTL" status | tr -d '\r' | head -1)"
echo "floor: $("$WINE" "$FLOOR" | tr -d '\r')"

ms() { local t0 t1; t0=$(date +%s%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s%N); echo $(((t1 - t0) / 1000000)); }
status_times=() floor_times=()
for ((i = 0; i < rounds; i++)); do
    if ((i % 2)); then
        floor_times+=("$(ms "$WINE" "$FLOOR")")
        status_times+=("$(ms "$WINE" "$CTL" status --quiet)")
    else
        status_times+=("$(ms "$WINE" "$CTL" status --quiet)")
        floor_times+=("$(ms "$WINE" "$FLOOR")")
    fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
s=$(median "${status_times[@]}") f=$(median "${floor_times[@]}")
"$WINE" "$CTL" uninstall --quiet >/dev/null 2>&1 || true
printf 'status (%s, %d rounds): median %s ms; floor: median %s ms; ratio %s (limit 1.5)\n' \
    "$arch" "$rounds" "$s" "$f" "$(awk -v s="$s" -v f="$f" 'BEGIN { printf "%.2f", s / f }')"
