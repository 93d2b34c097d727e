#!/usr/bin/env bash
# Checks the built Windows DLLs as a host's loader sees them: the export
# table (names, ordinals, nothing else), the import table (system DLLs only)
# and the version resource. Usage: tests/pe/check-binaries.sh [build-root]
set -uo pipefail
cd "$(dirname "$0")/../.."
BUILD_ROOT=${1:-build}

failures=0
checks=0
pass() { checks=$((checks + 1)); printf '  PASS  %s\n' "$*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); printf '  FAIL  %s\n' "$*"; }

# The C runtime may be msvcrt or the universal CRT; everything else a system DLL we call.
ALLOWED_IMPORTS='^(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ole32\.dll|setupapi\.dll)$'
FORBIDDEN_IMPORTS='libstdc\+\+|libgcc|libwinpthread'

check_dll() {
    local arch=$1 triple=$2 format=$3
    local dll="$BUILD_ROOT/windows-$arch/ndisfilter/ndisfilter.dll"
    echo "== $dll"
    if [[ ! -f $dll ]]; then
        fail "$arch: $dll is missing (build the windows-$arch preset first)"
        return
    fi
    local dump
    if ! dump=$("$triple-objdump" -p "$dll" 2>&1); then
        fail "$arch: $triple-objdump -p could not read the file"
        return
    fi

    if grep -q "file format $format" <<<"$dump"; then
        pass "$arch: file format $format"
    else
        fail "$arch: file format is not $format: $(grep -m1 'file format' <<<"$dump")"
    fi

    # Export table: the ordinal base, the address table size, and each name
    # with its ordinal. binutils prints "[idx] name" (older) or
    # "[idx] +base[ordinal] name" (newer); idx + base is the ordinal.
    local base functions names
    base=$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$dump")
    functions=$(awk '/^Export Address Table -- Ordinal Base/ { inside = 1; next }
                     inside && /^[ \t]*$/ { exit }
                     inside && /\[ *[0-9]+\]/ { n++ }
                     END { print n + 0 }' <<<"$dump")
    names=$(awk -v base="${base:-0}" '
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^[ \t]*$/ { exit }
        inside {
            line = $0
            if (match(line, /\+base\[ *[0-9]+\]/)) {
                ord = substr(line, RSTART + 6, RLENGTH - 7) + 0
                name = substr(line, RSTART + RLENGTH); sub(/^[ \t]+/, "", name)
            } else if (match(line, /\[ *[0-9]+\]/)) {
                ord = substr(line, RSTART + 1, RLENGTH - 2) + base
                name = substr(line, RSTART + RLENGTH); sub(/^[ \t]+/, "", name)
            } else next
            print ord, name
        }' <<<"$dump" | sort -n)
    local expected=$'1 DllCanUnloadNow\n2 DllGetClassObject'
    if [[ $names == "$expected" ]]; then
        pass "$arch: exports by name: ordinal 1 DllCanUnloadNow, ordinal 2 DllGetClassObject"
    else
        fail "$arch: exports by name are not exactly the two entry points; found:"
        sed 's/^/          /' <<<"${names:-<none>}"
    fi
    if [[ $base == 1 && $functions == 2 ]]; then
        pass "$arch: export address table has 2 entries from ordinal 1 (no export by ordinal only)"
    else
        fail "$arch: export address table: base '${base:-?}', entries '${functions:-?}' (want 1 and 2)"
    fi
    if grep -Eq '(^|[^A-Za-z])(_?DllMain(@12)?|Dll(GetClassObject|CanUnloadNow)@[0-9]+|_Dll[A-Za-z]+)$' <<<"$names"; then
        fail "$arch: a decorated name or DllMain is exported"
    else
        pass "$arch: no DllMain and no decorated names among the exports"
    fi

    # Import table: system DLLs only, never the compiler's runtime DLLs.
    local imports bad=""
    imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
    if [[ -z $imports ]]; then
        fail "$arch: no import table found"
    else
        local imp
        for imp in $imports; do
            if ! grep -Eqi "$ALLOWED_IMPORTS" <<<"$imp"; then bad+=" $imp"; fi
        done
        if [[ -z $bad ]]; then
            pass "$arch: imports are system DLLs only: $(tr '\n' ' ' <<<"$imports")"
        else
            fail "$arch: imports outside the system DLLs:$bad"
        fi
        if grep -Eqi "$FORBIDDEN_IMPORTS" <<<"$imports"; then
            fail "$arch: imports a compiler runtime DLL (libstdc++, libgcc or libwinpthread)"
        else
            pass "$arch: no libstdc++, libgcc or libwinpthread import"
        fi
    fi

    # Version resource, decompiled by windres.
    local rc
    if ! rc=$("$triple-windres" -J coff -O rc -i "$dll" 2>&1); then
        fail "$arch: windres could not read the resources: $rc"
        return
    fi
    local key value
    for key in InternalName:ndisfilter OriginalFilename:ndisfilter.dll; do
        value=${key#*:}
        key=${key%%:*}
        if grep -Eq "VALUE \"$key\", \"$value\"\$" <<<"$rc"; then
            pass "$arch: version resource $key \"$value\""
        else
            fail "$arch: version resource $key is not \"$value\": $(grep -m1 "\"$key\"" <<<"$rc" || echo missing)"
        fi
    done
}

# 32-bit only: every interface operation and entry point is __stdcall, so the
# callee pops its arguments. Each implementation's decorated name carries
# @<argument bytes> (the object pointer included), and each of its returns
# pops exactly that many bytes.
check_x86_stdcall() {
    local dll="$BUILD_ROOT/windows-x86/ndisfilter/ndisfilter.dll"
    [[ -f $dll ]] || return 0  # reported missing above
    echo "== $dll: calling convention"
    local symbols
    symbols=$(i686-w64-mingw32-objdump -t "$dll" | awk '$NF ~ /^_/ {print $NF}')
    if [[ -z $symbols ]]; then
        fail "x86: no symbol table to find the interface operations in (stripped?)"
        return
    fi
    local entry method bytes found sym body rets bad
    for entry in QueryInterface:12 AddRef:4 Release:4 Install:16 Uninstall:8 Destroy:8 \
                 InstallWithTimeout:24 UninstallWithTimeout:16 InstallWithRetry:16 UninstallWithRetry:8 \
                 DllGetClassObject:12 DllCanUnloadNow:0; do
        method=${entry%%:*}
        bytes=${entry##*:}
        if [[ $method == Dll* ]]; then
            found=$(grep -E "^_${method}@[0-9]+\$" <<<"$symbols" || true)
        else
            # Member functions: __ZN<n><Class><n><method>E...@N; thunks (__ZThn) have no @N.
            found=$(grep -E "^__ZN[0-9]+[A-Za-z_]+[0-9]+${method}E[^@]*@[0-9]+\$" <<<"$symbols" || true)
        fi
        if [[ -z $found ]]; then
            fail "x86: no __stdcall implementation of $method found"
            continue
        fi
        bad=""
        for sym in $found; do
            [[ ${sym##*@} == "$bytes" ]] || bad+=" $sym"
            body=$(i686-w64-mingw32-objdump -d --no-show-raw-insn --disassemble="$sym" "$dll" | sed -n '/>:$/,$p')
            rets=$(grep -E '\sret' <<<"$body" | sed -E 's/.*\sret[lw]?\s*//' | sort -u | tr '\n' ' ')
            if ! grep -Eq '\sret' <<<"$body"; then
                bad+=" $sym(no ret)"
            elif [[ $bytes == 0 ]]; then
                grep -q '\$' <<<"$rets" && bad+=" $sym(ret $rets)"
            else
                [[ $rets == "\$$(printf '0x%x' "$bytes") " ]] || bad+=" $sym(ret ${rets:-none})"
            fi
        done
        if [[ -z $bad ]]; then
            pass "x86: $method is __stdcall, pops $bytes bytes ($(wc -w <<<"$found") implementation(s))"
        else
            fail "x86: $method should pop $bytes bytes:$bad"
        fi
    done
}

# ndisfilterctl.exe is run elevated from folders others can write to: it
# imports only DLLs on the KnownDLLs list (taken from the system directory
# whatever the search order), carries an asInvoker manifest, and is
# terminal-server aware (else a session host gives it a per-user Windows
# directory, where the library's purge would look for the INF store).
KNOWN_DLL_IMPORTS='^(kernel32|msvcrt|advapi32|ole32|oleaut32|setupapi|user32|shell32)\.dll$'
check_exe() {
    local arch=$1 triple=$2
    local exe="$BUILD_ROOT/windows-$arch/ndisfilter/ndisfilterctl.exe"
    echo "== $exe"
    if [[ ! -f $exe ]]; then
        fail "$arch: $exe is missing (build the windows-$arch preset first)"
        return
    fi
    local imports bad="" imp
    imports=$("$triple-objdump" -p "$exe" | awk '/DLL Name:/ {print $3}')
    for imp in $imports; do
        grep -Eqi "$KNOWN_DLL_IMPORTS" <<<"$imp" || bad+=" $imp"
    done
    if [[ -n $imports && -z $bad ]]; then
        pass "$arch: ndisfilterctl.exe imports KnownDLLs only: $(tr '\n' ' ' <<<"$imports")"
    else
        fail "$arch: ndisfilterctl.exe imports DLLs the search order could find elsewhere:${bad:- (no import table)}"
    fi
    # The manifest is stored as its own text: its resource entry, and its level.
    local resources text
    resources=$("$triple-windres" -J coff -O rc -i "$exe" 2>&1)
    text=$(strings "$exe")
    if grep -q '^1 24 /\* RT_MANIFEST \*/' <<<"$resources" &&
        grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$text"; then
        pass "$arch: ndisfilterctl.exe carries an asInvoker manifest (RT_MANIFEST 1)"
    else
        fail "$arch: ndisfilterctl.exe has no asInvoker manifest as RT_MANIFEST 1"
    fi
    local characteristics
    characteristics=$("$triple-objdump" -p "$exe" | awk '$1 == "DllCharacteristics" {print $2}')
    if (( (0x${characteristics:-0} & 0x8000) != 0 )); then
        pass "$arch: ndisfilterctl.exe is terminal-server aware (DllCharacteristics $characteristics)"
    else
        fail "$arch: ndisfilterctl.exe is not terminal-server aware (DllCharacteristics ${characteristics:-none})"
    fi
}

check_dll x64 x86_64-w64-mingw32 pei-x86-64
check_dll x86 i686-w64-mingw32 pei-i386
check_x86_stdcall
check_exe x64 x86_64-w64-mingw32
check_exe x86 i686-w64-mingw32

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
