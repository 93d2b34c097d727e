#!/bin/sh
# Writes every C and C++ block of the given Markdown files (fenced ```c,
# ```cpp, ```c++) into OUTDIR as <file>-<line>.c / .cpp, <line> being the
# block's first line in its file, and removes what an earlier run wrote.
# Usage: tests/docs/extract-blocks.sh OUTDIR FILE.md...
set -eu
out=$1
shift
mkdir -p "$out"
rm -f "$out"/*.c "$out"/*.cpp
for doc in "$@"; do
    base=$(basename "$doc" .md)
    awk -v out="$out" -v base="$base" '
        /^```/ && file == "" {
            lang = substr($0, 4)
            sub(/[ \t\r].*$/, "", lang)
            if (lang == "c") ext = "c"
            else if (lang == "cpp" || lang == "c++") ext = "cpp"
            else { skip = !skip; next }
            file = out "/" base "-" (NR + 1) "." ext
            printf "" > file
            next
        }
        /^```/ && file != "" { close(file); file = ""; next }
        file != "" { print > file }
    ' "$doc"
done
