# Sourced by the scripts that run Windows programs under Wine: a quiet,
# headless Wine on the prefix in $WINEPREFIX (set it before sourcing), whose
# server is ended when the script exits.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

NETCFG_KEY='HKCR\CLSID\{5B035261-40F9-11D1-AAEC-00805FC1270E}\InprocServer32'

stop_wineserver() { wineserver -k 2>/dev/null || true; }
trap stop_wineserver EXIT

# Creates the prefix the first time, then keeps one server for what follows.
start_prefix() {
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w  # the boot's server must be gone before a persistent one starts
    fi
    wineserver -p
}

# Makes $1 (a Windows path) the in-process server of CLSID_CNetCfg. A boot or
# update of the prefix puts Wine's own back, so call it after start_prefix.
register_netcfg() {
    wine reg add "$NETCFG_KEY" /ve /d "$1" /f >/dev/null 2>&1
    wine reg add "$NETCFG_KEY" /v ThreadingModel /d Both /f >/dev/null 2>&1
}
