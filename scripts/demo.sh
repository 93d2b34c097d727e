#!/usr/bin/env bash
# The main job, in one command on a fresh Debian machine (as root):
#   scripts/demo.sh
# Installs whatever build tools are missing, builds ndisfilterctl and the
# library with the host preset when needed, then on a fresh simulated machine
# installs the ZQ_DorvaneV component from the sample DorvaneV.inf and removes
# it again, showing the INF copied into the machine's INF store and purged.
set -euo pipefail
cd "$(dirname "$0")/.."

section() { printf '\n== %s\n' "$*"; }

section "build tools"
scripts/install-deps.sh

section "host build (preset host)"
[[ -f build/host/build.ninja ]] || cmake --preset host >/dev/null
cmake --build --preset host --target ndisfilterctl --parallel 2

CTL=build/host/ndisfilter/ndisfilterctl
SIM=build/demo-sim
STORE="$SIM/C/WINDOWS/inf"   # C:\WINDOWS\inf of the simulated machine
rm -rf "$SIM"

show_store() {
    printf '   C:\\WINDOWS\\inf holds:'
    local found=0 file
    for file in "$STORE"/*; do
        [[ -f $file ]] || continue
        printf ' %s' "$(basename "$file")"
        found=1
    done
    [[ $found == 1 ]] || printf ' (nothing)'
    printf '\n'
}
run() {
    printf '\n$ ndisfilterctl %s\n' "$*"
    "$CTL" "$@" --sim-root "$SIM"
}

section "a fresh simulated machine in $SIM"
show_store

run install
show_store
copy=$(grep -l 'DorvaneV\.INF' "$STORE"/oem*.inf 2>/dev/null | head -n 1 || true)
if [[ -z $copy ]]; then
    echo "demo failed: no copy of DorvaneV.inf in the INF store" >&2
    exit 1
fi
printf '   %s begins: %s\n' "$(basename "$copy")" "$(head -n 1 "$copy")"

run uninstall --verbose
show_store
if compgen -G "$STORE/oem*.inf" >/dev/null; then
    echo "demo failed: the INF copy is still in the store" >&2
    exit 1
fi

section "done: installed, then removed with its INF copy purged"
echo "(the simulated machine stays in $SIM; ndisfilterctl --help lists every option)"
