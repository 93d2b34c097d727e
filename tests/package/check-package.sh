#!/usr/bin/env bash
# Builds the ZIP packages of one Windows preset and proves them: unpacked into
# an empty folder, the archives hold what a Windows user needs and nothing
# else; the binaries are stripped and name their debug files, which the debug
# archive holds; a CMake host finds ndisfilter::headers there; and, unless
# --no-run, the unpacked ndisfilterctl.exe installs and removes the component
# under Wine against the test network configuration server.
# Usage: tests/package/check-package.sh windows-x64|windows-x86 [--no-run]
# With Wine, run from tests/wine/run.sh: it exports WINE, WINEPREFIX and
# FAKE_NETCFG_DLL and registers the test server.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
preset=${1:?usage: tests/package/check-package.sh windows-x64|windows-x86 [--no-run]}
run=1
[[ ${2:-} == --no-run ]] && run=0
case $preset in
    windows-x64) system=win64 triple=x86_64-w64-mingw32 ;;
    windows-x86) system=win32 triple=i686-w64-mingw32 ;;
    *) echo "unknown preset $preset" >&2; exit 2 ;;
esac
BUILD="$ROOT/build/$preset"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
name="ndisfilter-$version-$system"

source tests/lib/checks.sh

log="$BUILD/package.log"
if ! cmake --build --preset "$preset" --target package >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
zip="$BUILD/package/$name.zip" debugzip="$BUILD/package/$name-debug.zip"
echo "unpacking $zip and $debugzip"
UNPACKED="$BUILD/package-check"
rm -rf "$UNPACKED"
mkdir -p "$UNPACKED/runtime" "$UNPACKED/debug"
unzip -q "$zip" -d "$UNPACKED/runtime"
unzip -q "$debugzip" -d "$UNPACKED/debug"

listing() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' '); }
# The driver package the build was given (cmake/driver-package.cmake): its
# INF, catalog and every file the INF names, beside the binaries.
driver_dir=$(sed -n 's/^NDISFILTER_DRIVER_PACKAGE:PATH=//p' "$BUILD/CMakeCache.txt")
[[ -n $driver_dir ]] || driver_dir="$BUILD/driver-package"
driver_files=$(packaging/driver-package.sh "$driver_dir")
check "the driver package names its catalog" grep -qix 'DorvaneV.cat' <<<"$driver_files"
check "the driver package names its driver file" grep -qix 'DorvaneV.sys' <<<"$driver_files"
expected=$( (printf '%s\n' $driver_files README.txt include/ndisfilter.h lib/cmake/ndisfilter/ndisfilterConfig.cmake \
    lib/cmake/ndisfilter/ndisfilterConfigVersion.cmake lib/cmake/ndisfilter/ndisfilterTargets.cmake \
    ndisfilter.dll ndisfilterctl.exe) | LC_ALL=C sort | tr '\n' ' ')
check "runtime archive holds exactly the user's files" test "$(listing "$UNPACKED/runtime")" = "$expected"
check "debug archive holds exactly the debug files" test "$(listing "$UNPACKED/debug")" = \
    "ndisfilter.dll.debug ndisfilterctl.exe.debug "
check "header is the source's" cmp -s "$UNPACKED/runtime/include/ndisfilter.h" ndisfilter/module/ndisfilter.h
for file in $driver_files; do
    check "$file is the driver package's" cmp -s "$UNPACKED/runtime/$file" "$driver_dir/$file"
done
check "the INF has CRLF line ends" grep -q $'\r$' "$UNPACKED/runtime/DorvaneV.inf"

for binary in ndisfilter.dll ndisfilterctl.exe; do
    headers=$("$triple-objdump" -h "$UNPACKED/runtime/$binary")
    check "$binary: no debug sections left" bash -c '! grep -q "\.debug_" <<<"$0"' "$headers"
    check "$binary: no symbol table left" bash -c '"$0-objdump" -t "$1" | grep -q "no symbols"' \
        "$triple" "$UNPACKED/runtime/$binary"
    section() {  # $1: section, $2: binary; prints the section's bytes
        "$triple-objcopy" --dump-section "$1=$UNPACKED/section.bin" "$2" "$UNPACKED/scratch" 2>/dev/null &&
            cat "$UNPACKED/section.bin"
    }
    link=$(section .gnu_debuglink "$UNPACKED/runtime/$binary" | head -z -n 1 | tr -d '\0')
    check "$binary: .gnu_debuglink names $binary.debug (found '$link')" test "$link" = "$binary.debug"
    check "$binary.debug holds the debug information" bash -c \
        '"$0-objdump" -h "$1" | grep -q "\.debug_info"' "$triple" "$UNPACKED/debug/$binary.debug"
    # The same code as the build's own binary: only symbols and debug sections went.
    text=$(section .text "$UNPACKED/runtime/$binary" | sha256sum)
    check "$binary: code unchanged by the split" test "$text" = "$(section .text "$BUILD/ndisfilter/$binary" | sha256sum)"
    check "$binary: code section read" test "$text" != "$(: | sha256sum)"
done

echo "a CMake host: find_package(ndisfilter) -> ndisfilter::headers"
consumer="$UNPACKED/consumer-build"
if cmake -S tests/package/consumer -B "$consumer" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-${triple%%-*}.cmake" \
        -Dndisfilter_DIR="$UNPACKED/runtime/lib/cmake/ndisfilter" >"$consumer.log" 2>&1 &&
    cmake --build "$consumer" >>"$consumer.log" 2>&1; then
    check "consumer built" test -f "$consumer/consumer.exe"
else
    cat "$consumer.log"
    check "consumer configured and built" false
fi

if [[ $run == 1 ]]; then
    : "${WINE:?run from tests/wine/run.sh, or pass --no-run}" "${WINEPREFIX:?}" "${FAKE_NETCFG_DLL:?}"
    echo "the unpacked ndisfilterctl.exe under Wine, against the test server"
    # Only the runtime archive's files: the program must find the library and
    # the INF beside itself.
    STATE_UNIX="$WINEPREFIX/drive_c/package-check"
    rm -rf "$STATE_UNIX"
    mkdir -p "$STATE_UNIX"
    : >"$STATE_UNIX/components.txt"
    export FAKE_NETCFG_DIR='C:\package-check'
    source tests/wine/inf-store.sh
    hold_inf_name
    EXE=$("$WINE" winepath.exe -w "$UNPACKED/runtime/ndisfilterctl.exe" 2>/dev/null | tr -d '\r')
    calls=0
    ctl() {  # the whole Windows exit code, through cmd
        # Fresh output files each call: a service the first Wine program
        # starts may inherit and keep its standard handles open.
        calls=$((calls + 1))
        "$WINE" cmd /v:on /c "$EXE $* >C:\\package-check\\out$calls.txt 2>C:\\package-check\\err$calls.txt & echo exit=!errorlevel!" \
            >"$STATE_UNIX/cmd.txt" 2>/dev/null || true
        CODE=$(tr -d '\r' <"$STATE_UNIX/cmd.txt" | sed -n 's/^exit=//p')
        OUT=$(tr -d '\r' <"$STATE_UNIX/out$calls.txt")
        printf '  $ ndisfilterctl.exe %s -> %s\n' "$*" "${CODE:-?}"
        printf '%s\n' "$OUT" | sed 's/^/    /'
    }
    ctl install --verbose
    check "install exits 0" test "$CODE" = 0
    check "component installed" grep -qix ZQ_DorvaneV "$STATE_UNIX/components.txt"
    copy=$(grep -o 'oem[0-9]*\.inf added' <<<"$OUT" | head -n 1 | cut -d' ' -f1) || true
    check "the unpacked INF copied into the store" test -n "$copy"
    ctl uninstall --verbose
    check "uninstall exits 0" test "$CODE" = 0
    check "component removed" bash -c '! grep -qix ZQ_DorvaneV "$0"' "$STATE_UNIX/components.txt"
    check "the copy purged" grep -q "$copy deleted" <<<"$OUT"
    check "no copy left in the store" bash -c '! grep -l "^; DorvaneV.INF" "$0"/oem*.inf 2>/dev/null' "$STORE_UNIX"
    release_inf_name
    rm -rf "$STATE_UNIX"
fi

printf 'package %s: %d passed, %d failed\n' "$name" "$passed" "$failed"
[[ $failed -eq 0 ]]
