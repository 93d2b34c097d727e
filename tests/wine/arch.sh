# shellcheck shell=bash
# Sourced by the scripts that run the Windows build under Wine: what each
# architecture's name means, and the loop that runs a script for several.
#   x64    the 64-bit build in a 64-bit prefix
#   x86    the 32-bit build in a 32-bit prefix
#   wow64  the 32-bit build in the 64-bit prefix, the test network
#          configuration server registered in the registry's 32-bit view

# wine_arch NAME [PREFIX_NAME]: sets PRESET (the build preset), PREFIX (the
# prefix's folder name under build/: PREFIX_NAME, default wine-prefix, with
# -x86 for the 32-bit prefix) and REG_VIEW (register_netcfg's view: 64, 32,
# or empty for the 32-bit prefix's only one), and exports
# NDISFILTER_WINE_ARCH, which tells wine-env.sh the loader. Exits 2 for
# another name.
wine_arch() {
    local base=${2:-wine-prefix}
    case $1 in
        x64) PRESET=windows-x64 PREFIX=$base REG_VIEW=64 NDISFILTER_WINE_ARCH=x64 ;;
        x86) PRESET=windows-x86 PREFIX=$base-x86 REG_VIEW='' NDISFILTER_WINE_ARCH=x86 ;;
        wow64) PRESET=windows-x86 PREFIX=$base REG_VIEW=32 NDISFILTER_WINE_ARCH=x64 ;;
        *) echo "unknown architecture '$1' (x64, x86 or wow64)" >&2; exit 2 ;;
    esac
    export NDISFILTER_WINE_ARCH
}

# each_arch WHAT "LANE..." SCRIPT [ARGUMENT...]: runs SCRIPT --arch ARCH
# ARGUMENT... for each architecture. The architectures of one lane
# (separated by commas) run in turn; lanes (separated by blanks) run side by
# side, which is safe only where each lane has a Wine prefix of its own.
# With more than one lane each lane's output is kept and shown, lane by
# lane, when all have ended. Then one summary line per architecture: PASS,
# FAIL, or SKIPPED when the script exits 77 (a machine that cannot run
# 32-bit programs). Fails when one failed.
each_arch() {
    local what=$1 lane arch code seconds result status=0 lane_count=0 i
    local results
    results=$(mktemp -d)
    for lane in $2; do
        (
            for arch in ${lane//,/ }; do
                local t0=$SECONDS
                code=0
                "$3" --arch "$arch" "${@:4}" || code=$?
                echo "$arch $code $((SECONDS - t0))" >>"$results/summary.$lane_count"
            done
        ) >"$results/output.$lane_count" 2>&1 &
        lane_count=$((lane_count + 1))
    done
    if ((lane_count == 1)); then
        tail -f --pid=$! "$results/output.0" 2>/dev/null || true
    fi
    wait
    printf '\n%s by architecture:\n' "$what" >"$results/summary"
    for ((i = 0; i < lane_count; i++)); do
        ((lane_count == 1)) || cat "$results/output.$i"
        while read -r arch code seconds; do
            case $code in
                0) result=PASS ;;
                77) result="SKIPPED (this machine cannot run 32-bit programs)" ;;
                *) result=FAIL status=1 ;;
            esac
            printf '  %-6s %s, %d s\n' "$arch" "$result" "$seconds" >>"$results/summary"
        done <"$results/summary.$i"
    done
    cat "$results/summary"
    rm -rf "$results"
    return $status
}
