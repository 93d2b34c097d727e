#!/usr/bin/env bash
# `ndisfilterctl status` and `ndisfilterctl check`, each beside a minimal
# program that makes the same platform reads (tests/wine/bench/status_floor.cpp;
# check_floor.cpp: the pre-flight readers called directly), under Wine against the
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
bench_targets=(ndisfilterctl ndisfilter_status_floor ndisfilter_check_floor)
source scripts/wine-bench-prefix.sh
source tests/wine/inf-store.sh
hold_inf_name  # the copy in the store named oem<N>.inf, as on Windows
trap 'release_inf_name; stop_wineserver' EXIT
STATE_UNIX="$WINEPREFIX/drive_c/status-bench"
rm -rf "$STATE_UNIX" && mkdir -p "$STATE_UNIX"
export FAKE_NETCFG_DIR='C:\status-bench'
# The programs as the release packages ship them (cmake/package.cmake):
# stripped. The build tree's copies carry their debug information (21 MB
# against 1 MB), and Wine takes longer to start the larger file.
OBJCOPY=$(sed -n 's/^CMAKE_OBJCOPY:FILEPATH=//p' "$ROOT/build/$PRESET/CMakeCache.txt")
mkdir -p "$STATE_UNIX/bin"
for file in "$ROOT/build/$PRESET/ndisfilter/"{ndisfilterctl.exe,ndisfilter.dll} \
    "$BIN/ndisfilter_status_floor.exe" "$BIN/ndisfilter_check_floor.exe"; do
    "$OBJCOPY" --strip-all "$file" "$STATE_UNIX/bin/$(basename "$file")"
done
# The driver package the packages carry (the build's stand-in by default):
# the install's pre-flight checks want every file the INF names.
cp "$ROOT/build/$PRESET/driver-package/"* "$STATE_UNIX/bin/"
CTL="$STATE_UNIX/bin/ndisfilterctl.exe"
FLOOR="$STATE_UNIX/bin/ndisfilter_status_floor.exe"
CHECK_FLOOR="$STATE_UNIX/bin/ndisfilter_check_floor.exe"
INF='C:\status-bench\bin\DorvaneV.inf'

# Installed, with its copy in the store: status has something to find.
"$WINE" "$CTL" install --quiet >/dev/null 2>&1 || true
echo "ndisfilterctl status: $("$WINE" "$CTL" status | tr -d '\r' | head -1)"
echo "floor: $("$WINE" "$FLOOR" | tr -d '\r')"

ms() { local t0 t1; t0=$(date +%s%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s%N); echo $(((t1 - t0) / 1000000)); }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# compare NAME FLOOR-COMMAND -- PROGRAM-COMMAND: both once a round, in
# alternating order; prints the medians and their ratio.
compare() {
    local name=$1 i s f program_times=() floor_times=() floor=() program=()
    shift
    while [[ $1 != -- ]]; do floor+=("$1"); shift; done
    shift
    program=("$@")
    for ((i = 0; i < rounds; i++)); do
        if ((i % 2)); then
            floor_times+=("$(ms "${floor[@]}")")
            program_times+=("$(ms "${program[@]}")")
        else
            program_times+=("$(ms "${program[@]}")")
            floor_times+=("$(ms "${floor[@]}")")
        fi
    done
    s=$(median "${program_times[@]}") f=$(median "${floor_times[@]}")
    printf '%s (%s, %d rounds): median %s ms; floor: median %s ms; ratio %s (limit 1.5)\n' \
        "$name" "$arch" "$rounds" "$s" "$f" "$(awk -v s="$s" -v f="$f" 'BEGIN { printf "%.2f", s / f }')"
}
compare status "$WINE" "$FLOOR" -- "$WINE" "$CTL" status --quiet
echo "check floor: $("$WINE" "$CHECK_FLOOR" "$INF" | tr -d '\r')"
if "$WINE" "$CTL" --help 2>/dev/null | grep -q 'ndisfilterctl check'; then
    compare check "$WINE" "$CHECK_FLOOR" "$INF" -- "$WINE" "$CTL" check --quiet
else
    echo "check: this build of ndisfilterctl has no check command; floor alone:"
    compare "check floor" "$WINE" "$CHECK_FLOOR" "$INF" -- "$WINE" "$CHECK_FLOOR" "$INF"
fi
"$WINE" "$CTL" uninstall --quiet >/dev/null 2>&1 || true
