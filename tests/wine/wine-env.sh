# Sourced by the scripts that run Windows programs under Wine: a quiet,
# headless Wine on the prefix in $WINEPREFIX (set it before sourcing), whose
# server is ended when the script exits.
#
# Set NDISFILTER_WINE_ARCH=x86 before sourcing for a 32-bit prefix (WINEARCH
# win32) run by Wine's 32-bit loader; the default, x64, is a 64-bit prefix run
# by the 64-bit loader. The `wine` command starts the 32-bit loader first
# whenever Wine's 32-bit half is installed, which fails for very long program
# paths and on machines that cannot run 32-bit code at all; 64-bit programs
# are therefore started with the 64-bit loader itself ($WINE64). $WINE is the
# loader of this prefix's architecture: run everything through it.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

WINE64=/usr/lib/wine/wine64
[[ -x $WINE64 ]] || WINE64=$(command -v wine64 || command -v wine)
# Never /usr/bin/wine for the 32-bit loader: without Wine's 32-bit half it
# starts the 64-bit one, and a 32-bit program would pass without running.
WINE32=/usr/lib/wine/wine
source "$(dirname "${BASH_SOURCE[0]}")/arch.sh"  # why_no_wine32
if [[ ${NDISFILTER_WINE_ARCH:-x64} == x86 ]]; then
    export WINEARCH=win32
    WINE=$WINE32
else
    unset WINEARCH
    WINE=$WINE64
fi

NETCFG_KEY='HKCR\CLSID\{5B035261-40F9-11D1-AAEC-00805FC1270E}\InprocServer32'

stop_wineserver() { wineserver -k 2>/dev/null || true; }
trap stop_wineserver EXIT

# True when this machine can run Wine's 32-bit loader (why_no_wine32).
wine_runs_32bit() { why_no_wine32 "$WINE32" >/dev/null; }

# True, saying why on standard error, when the build preset $1 is the
# 32-bit one and this machine cannot run it.
cannot_run_build() {
    [[ $1 == windows-x86 ]] && ! wine_runs_32bit || return 1
    why_no_wine32 "$WINE32" >&2
}

# The Windows form of a Unix path.
wine_path() { "$WINE" winepath.exe -w "$1" 2>/dev/null | tr -d '\r'; }

# Creates the prefix the first time, then keeps one server for what follows.
start_prefix() {
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot.exe -i >/dev/null 2>&1
        wineserver -w  # the boot's server must be gone before a persistent one starts
    fi
    wineserver -p
}

# Makes $1 (a Windows path) the in-process server of CLSID_CNetCfg. A boot or
# update of the prefix puts Wine's own back, so call it after start_prefix.
# $2: the registry view, 64 or 32 (default: the prefix's own; in a 64-bit
# prefix a 32-bit host reads the 32-bit view).
register_netcfg() {
    local view=()
    [[ -n ${2:-} ]] && view=("/reg:$2")
    "$WINE" reg.exe add "$NETCFG_KEY" /ve /d "$1" /f "${view[@]}" >/dev/null 2>&1
    "$WINE" reg.exe add "$NETCFG_KEY" /v ThreadingModel /d Both /f "${view[@]}" >/dev/null 2>&1
}
