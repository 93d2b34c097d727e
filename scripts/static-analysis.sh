#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck over every product source: the
# library (ndisfilter/) and tools/, tests aside (tools/*/*_test.cpp). Any
# finding fails the stage.
# One clang-tidy process per file, two at a time: one process over several
# files reports a header's findings with the first file only, so the order
# of the files decided what was seen. Sources of the host build are checked
# with its compile commands; the Windows-only ones with the windows-x64
# build's, clang told MinGW-w64's target and C++ library.
set -euo pipefail
cd "$(dirname "$0")/.."

host_db=build/host/compile_commands.json
windows_db=build/windows-x64/compile_commands.json
[[ -f $host_db ]] || cmake --preset host >/dev/null
[[ -f $windows_db ]] || cmake --preset windows-x64 >/dev/null
mapfile -t sources < <(git ls-files 'ndisfilter/*.cpp' 'tools/*.cpp' | grep -v '_test\.cpp$')
(( ${#sources[@]} )) || { echo "no product sources found"; exit 1; }
host_sources=() windows_sources=()
for s in "${sources[@]}"; do
    if grep -q "\"file\": \"$PWD/$s\"" "$host_db"; then host_sources+=("$s")
    elif grep -q "\"file\": \"$PWD/$s\"" "$windows_db"; then windows_sources+=("$s")
    else echo "$s is in no build's compile commands" >&2; exit 1
    fi
done

OUT=build/static-analysis
rm -rf "$OUT"
mkdir -p "$OUT"
# MinGW-w64's C++ headers, which clang does not find by itself.
mingw_cxx=$(x86_64-w64-mingw32-g++-posix -E -x c++ - -v </dev/null 2>&1 |
    sed -n '/^#include <...> search starts here:/,/^End of search list/p' | grep '^ .*/c++' || true)
windows_args=(--extra-arg=--target=x86_64-w64-mingw32)
for dir in $mingw_cxx; do windows_args+=("--extra-arg=-isystem$dir"); done

started=$(date +%s)
echo "clang-tidy: ${#host_sources[@]} host and ${#windows_sources[@]} Windows-only files, one process each"
tidy() {  # $1: the build folder, $2: the source; WINDOWS_ARGS for the windows-x64 one
    local extra=()
    [[ $1 == build/windows-x64 ]] && read -ra extra <<<"$WINDOWS_ARGS"
    clang-tidy -p "$1" --quiet "${extra[@]}" "$2" >"$OUT/${2//\//_}.txt" 2>&1 || echo "$2" >>"$OUT/failed"
}
export -f tidy
export OUT WINDOWS_ARGS="${windows_args[*]}"
printf '%s\0' "${host_sources[@]}" | xargs -0 -I{} -P 2 bash -c 'tidy build/host "$1"' _ {}
printf '%s\0' "${windows_sources[@]}" | xargs -0 -I{} -P 2 bash -c 'tidy build/windows-x64 "$1"' _ {}
tidy_done=$(date +%s)
if [[ -f $OUT/failed ]]; then
    echo "clang-tidy: findings in $(sort "$OUT/failed" | tr '\n' ' ')(each file's report in $OUT/):"
    # A header's finding appears once for every file that includes it: once here.
    grep -h -E '^[^ ].*:[0-9]+:[0-9]+: (error|warning): ' "$OUT"/*.txt | sort -u
    exit 1
fi
echo "clang-tidy: clean in $((tidy_done - started)) s"

echo "cppcheck: ${#host_sources[@]} host and ${#windows_sources[@]} Windows-only files"
mkdir -p build/cppcheck-host build/cppcheck-windows
# unusedFunction is left out: the library's functions are reached through its
# interface tables and exports, which cppcheck cannot see being called.
# useStlAlgorithm is left out: it is advice on taste (a loop that fills one
# list from another "could be std::transform"), and finds no fault.
cppcheck_over() {  # $1: compile commands, $2: build folder; the rest: sources
    local db=$1 build=$2 filters=() s; shift 2
    for s; do filters+=("--file-filter=$s"); done
    cppcheck --project="$db" "${filters[@]}" --library=windows \
        --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
        --suppress=missingIncludeSystem --suppress=useStlAlgorithm --cppcheck-build-dir="$build" -j2 \
        --error-exitcode=1 --quiet --template='{file}:{line}: {severity}: {message} [{id}]'
}
cppcheck_over "$host_db" build/cppcheck-host "${host_sources[@]}"
cppcheck_over "$windows_db" build/cppcheck-windows "${windows_sources[@]}"
echo "cppcheck: clean in $(( $(date +%s) - tidy_done )) s"
