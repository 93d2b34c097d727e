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

# each_arch WHAT "ARCH..." SCRIPT [ARGUMENT...]: runs SCRIPT --arch ARCH
# ARGUMENT... for each, then one summary line per architecture: PASS, FAIL, or SKIPPED when the
# command exits 77 (a machine that cannot run 32-bit programs). Fails when
# one failed.
each_arch() {
    local what=$1 arch code result status=0 t0
    local -a summary=()
    for arch in $2; do
        t0=$SECONDS
        code=0
        "$3" --arch "$arch" "${@:4}" || code=$?
        case $code in
            0) result=PASS ;;
            77) result="SKIPPED (this machine cannot run 32-bit programs)" ;;
            *) result=FAIL status=1 ;;
        esac
        summary+=("$(printf '%-6s %s, %d s' "$arch" "$result" $((SECONDS - t0)))")
    done
    printf '\n%s by architecture:\n' "$what"
    printf '  %s\n' "${summary[@]}"
    return $status
}
