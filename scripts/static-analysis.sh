#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck over the library's sources, with the
# host build's compile commands. Any finding fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."

db=build/host/compile_commands.json
if [[ ! -f $db ]]; then cmake --preset host >/dev/null; fi
mapfile -t sources < <(git ls-files 'ndisfilter/*.cpp')
(( ${#sources[@]} )) || { echo "no library sources found"; exit 1; }

started=$(date +%s)
echo "clang-tidy: ${#sources[@]} files"
# .clang-tidy makes every enabled warning an error; -quiet drops the
# "N warnings generated" lines of the headers that are not ours.
clang-tidy -p build/host --quiet "${sources[@]}" 2> >(grep -v "warnings generated" >&2)
tidy_done=$(date +%s)
echo "clang-tidy: clean in $((tidy_done - started)) s"

echo "cppcheck: ${#sources[@]} files"
mkdir -p build/cppcheck
filters=()
for s in "${sources[@]}"; do filters+=("--file-filter=$s"); done
# unusedFunction is left out: the library's functions are reached through its
# interface tables and exports, which cppcheck cannot see being called.
cppcheck --project="$db" "${filters[@]}" --library=windows \
  --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=missingIncludeSystem --cppcheck-build-dir=build/cppcheck -j2 \
  --error-exitcode=1 --quiet --template='{file}:{line}: {severity}: {message} [{id}]'
echo "cppcheck: clean in $(( $(date +%s) - tidy_done )) s"
