#!/usr/bin/env bash
# The main job, in one command on a fresh Debian machine (as root):
#   scripts/demo.sh         the real Windows binaries under Wine
#   scripts/demo.sh --sim   the host build on a simulated machine
#
# Default: installs what is missing (MinGW-w64, Wine), builds the windows-x64
# preset (Release) and its ZIP package, unpacks the package, makes a Wine
# prefix of its own (build/demo-wine-prefix) with the test network
# configuration server registered for CLSID_CNetCfg, and runs the unpacked
# ndisfilterctl.exe: status (when the program has it), install -v,
# uninstall -v. Wine's setup services copy DorvaneV.inf into the prefix's
# C:\windows\inf; the uninstall purges the copy.
# Build output goes to a log that is shown only on failure. Every command
# printed can be pasted into a shell and run as printed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
MODE=wine
case ${1:-} in
    --sim) MODE=sim ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--sim]" >&2; exit 2 ;;
esac

section() { printf '\n== %s\n' "$*"; }
mkdir -p build
LOG="$ROOT/build/demo-$MODE.log"
: >"$LOG"
quietly() {  # runs a build command, its output into the log; the log on failure
    if ! "$@" >>"$LOG" 2>&1; then
        cat "$LOG" >&2
        printf '\ndemo failed while running: %s (log: %s)\n' "$*" "$LOG" >&2
        exit 1
    fi
}

if [[ $MODE == sim ]]; then
    section "build tools (cmake, ninja, g++)"
    scripts/install-deps.sh --sim

    section "host build (preset host), output in $LOG"
    [[ -f build/host/build.ninja ]] || quietly cmake --preset host
    quietly cmake --build --preset host --target ndisfilterctl

    CTL="$ROOT/build/host/ndisfilter/ndisfilterctl"
    SIM="$ROOT/build/demo-sim"
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
        printf '\n$ %s %s --sim-root %s\n' "$CTL" "$*" "$SIM"  # paths without spaces
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
    echo "program:  $CTL (host build; --help lists every option)"
    echo "machine:  $SIM (kept; simulated, nothing on this system was changed)"
    echo "The Windows binaries and their package: scripts/demo.sh without --sim."
    exit 0
fi

section "build tools (MinGW-w64, Wine)"
scripts/install-deps.sh --demo

section "Windows x64 build (preset windows-x64, Release) and its package, output in $LOG"
quietly cmake --preset windows-x64
quietly cmake --build --preset windows-x64 --target package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x64/CMakeCache.txt)
PACKAGE="$ROOT/build/windows-x64/package/ndisfilter-$version-win64.zip"
HERE="$ROOT/build/demo/ndisfilter-$version-win64"
rm -rf "$HERE"
mkdir -p "$HERE"
(cd "$HERE" && cmake -E tar xf "$PACKAGE")
echo "unpacked $PACKAGE into $HERE"

export WINEPREFIX="$ROOT/build/demo-wine-prefix"
source tests/wine/wine-env.sh
section "a Wine prefix of its own: $WINEPREFIX"
start_prefix
FAKE="$ROOT/build/windows-x64/tests/wine/fake_netcfg.dll"
register_netcfg "$(wine_path "$FAKE")" 64
cat <<TEXT
Registered $FAKE for CLSID_CNetCfg.
NOTE: that DLL is a test-only server (tests/wine/fake_netcfg) standing in for
Windows' own network configuration service, which Wine does not have: it keeps
its installed components in a text file. Everything else is real: the stripped
ndisfilterctl.exe and ndisfilter.dll from the package, Wine's own setup
services copying the INF into C:\\windows\\inf, and the library's purge.
TEXT
STATE="$WINEPREFIX/drive_c/demo-netcfg"   # the test server's state: C:\demo-netcfg
mkdir -p "$STATE"
: >"$STATE/components.txt"
# Windows always names its copy oem<N>.inf: a placeholder holding the INF's
# own name in the store makes Wine do the same (tests/wine/inf-store.sh).
source tests/wine/inf-store.sh
hold_inf_name
purge_store_copies  # copies left by an interrupted earlier run

show_store() {
    local copies
    copies=$(our_store_copies | tr '\n' ' ')
    printf '   copies of DorvaneV.inf in C:\\windows\\inf: %s\n' "${copies:-(none)}"
}
pasteable() {  # the words, quoted for a shell only where they need it
    local word out=()
    for word; do
        if [[ $word =~ ^[A-Za-z0-9_./=:,+-]+$ ]]; then
            out+=("$word")
        elif [[ $word =~ ^([A-Z_]+=)(.*)$ ]]; then  # an assignment: quote its value only
            out+=("${BASH_REMATCH[1]}${BASH_REMATCH[2]@Q}")
        else
            out+=("${word@Q}")
        fi
    done
    printf '%s' "${out[*]}"
}
run() {  # prints the command as it can be pasted, then runs it
    local environment=(WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all FAKE_NETCFG_DIR='C:\demo-netcfg')
    local command=("$WINE" "$HERE/ndisfilterctl.exe" "$@")
    printf '\n$ %s %s\n' "$(pasteable "${environment[@]}")" "$(pasteable "${command[@]}")"
    local code=0
    env "${environment[@]}" "${command[@]}" || code=$?
    if [[ $code == 0 ]]; then
        printf '   (exit status 0)\n'
    else  # a Unix exit status keeps the low eight bits of the Windows exit code
        printf '   (exit status %d as the shell sees it: the low eight bits of the Windows exit code)\n' "$code"
    fi
    return "$code"
}

section "the unpacked package, run under Wine"
show_store
if "$WINE" "$HERE/ndisfilterctl.exe" --help 2>&1 | grep -q '^ *ndisfilterctl status'; then
    run status || true
fi
run install -v
show_store
run uninstall -v
show_store
if [[ -n $(our_store_copies) ]]; then
    echo "demo failed: the INF copy is still in the store" >&2
    exit 1
fi

section "done: installed, then removed with its INF copy purged"
cat <<TEXT
package:        $PACKAGE
                (debug information: ${PACKAGE%.zip}-debug.zip)
unpacked:       $HERE
release files:  $ROOT/build/windows-x64/release (stripped; debug/ holds the .debug files)
Wine prefix:    $WINEPREFIX (kept)
build log:      $LOG
Copy the package to a Windows machine: README.md, "Running on Windows".
TEXT
