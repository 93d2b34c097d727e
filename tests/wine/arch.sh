# shellcheck shell=bash
# Sourced by the scripts that run the Windows build under Wine: what each
# architecture's name means, and the loop that runs a script for several.
#   x64    the 64-bit build in a 64-bit prefix
#   x86    the 32-bit build in a 32-bit prefix
#   wow64  the 32-bit build in the 64-bit prefix, the test network
#          configuration server registered in the registry's 32-bit view
source "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"  # closing_count

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

# why_no_wine32 [LOADER]: true, printing nothing, when Wine's 32-bit loader
# (default /usr/lib/wine/wine, from wine32:i386) runs; otherwise prints why
# not and returns 1 when it is not installed, 2 when this kernel cannot
# execute i386 programs (the loader is there, and executing it fails with
# ENOEXEC, "Exec format error"), 3 when it fails otherwise. /usr/bin/wine
# is no answer: without the 32-bit half it runs the 64-bit loader.
why_no_wine32() {
    local loader=${1:-/usr/lib/wine/wine} out
    if [[ ! -e $loader ]]; then
        echo "Wine's 32-bit half is not installed (no $loader; package wine32:i386)"
        return 1
    fi
    out=$("$loader" --version 2>&1) && return 0
    if [[ $out == *"Exec format error"* ]]; then
        echo "this kernel cannot execute i386 programs ($loader: Exec format error)"
        return 2
    fi
    echo "Wine's 32-bit loader fails: ${out%%$'\n'*}"
    return 3
}

# skip_32bit: for a 32-bit run that cannot start; says why on the line
# each_arch reads ("SKIPPED: REASON") and exits 77.
skip_32bit() {
    echo "SKIPPED: $(why_no_wine32)"
    exit 77
}

# each_arch WHAT "LANE..." SCRIPT [ARGUMENT...]: runs SCRIPT --arch ARCH
# ARGUMENT... for each architecture. The architectures of one lane
# (separated by commas) run in turn; lanes (separated by blanks) run side by
# side, which is safe only where each lane has a Wine prefix of its own.
# Each architecture's output is kept and shown when it has ended (all of a
# lane's when there are several lanes). Then one summary line per
# architecture: PASS only when the script exits 0 and its output ends with
# its count ("N passed, 0 failed", N > 0); SKIPPED, with the script's reason,
# when it exits 77 (a machine that cannot run 32-bit programs), which fails
# where NDISFILTER_REQUIRE_32BIT=1; FAIL otherwise. Fails when one failed.
each_arch() {
    local what=$1 lane arch code seconds result status=0 lane_count=0 i why
    local results
    results=$(mktemp -d)
    for lane in $2; do
        (
            for arch in ${lane//,/ }; do
                local t0=$SECONDS
                code=0
                "$3" --arch "$arch" "${@:4}" >"$results/$arch.out" 2>&1 || code=$?
                cat "$results/$arch.out"
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
                0) if why=$(closing_count "$results/$arch.out"); then result=PASS
                   else result="FAIL (exit status 0, but $why)" status=1; fi ;;
                77) why=$(sed -n 's/^SKIPPED: //p' "$results/$arch.out" | head -n 1)
                    result="SKIPPED (${why:-no reason given})"
                    if [[ ${NDISFILTER_REQUIRE_32BIT:-0} == 1 ]]; then
                        result="FAIL: $result, and NDISFILTER_REQUIRE_32BIT=1" status=1
                    fi ;;
                *) result=FAIL status=1 ;;
            esac
            printf '  %-6s %s, %d s\n' "$arch" "$result" "$seconds" >>"$results/summary"
        done <"$results/summary.$i"
    done
    cat "$results/summary"
    rm -rf "$results"
    return $status
}
