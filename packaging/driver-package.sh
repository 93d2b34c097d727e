#!/usr/bin/env bash
# The files of a driver package folder, one a line: DorvaneV.inf first, then
# the catalog its [Version] names (CatalogFile, CatalogFile.<platform>) and
# every file its [SourceDisksFiles] sections (any decoration) name, each
# once. Every one must be in the folder beside the INF: the first that is not
# is named, and the script exits 1. The packages (the MSI, the ZIP) install
# these files together, so that the platform finds the INF's files and its
# catalog beside the INF it is given.
# Usage: packaging/driver-package.sh FOLDER
set -euo pipefail
folder=${1:?usage: packaging/driver-package.sh FOLDER}
inf="$folder/DorvaneV.inf"
[[ -d $folder ]] || { echo "driver package: $folder is not a folder" >&2; exit 1; }
[[ -f $inf ]] || { echo "driver package: $folder holds no DorvaneV.inf" >&2; exit 1; }

# INF syntax: "; comment", [Section] (case-insensitive), key = value; a
# file named with a subfolder (name = disk,subdir) is refused: the packages
# keep every file beside the INF.
named=$(tr -d '\r' <"$inf" | awk '
    { sub(/;.*/, ""); gsub(/^[ \t]+|[ \t]+$/, "") }
    /^\[/ { section = tolower($0); next }
    $0 == "" || index($0, "=") == 0 { next }
    {
        key = substr($0, 1, index($0, "=") - 1); value = substr($0, index($0, "=") + 1)
        gsub(/^[ \t"]+|[ \t"]+$/, "", key); gsub(/^[ \t]+|[ \t]+$/, "", value)
    }
    section == "[version]" && tolower(key) ~ /^catalogfile(\.|$)/ { gsub(/"/, "", value); print value; next }
    section ~ /^\[sourcedisksfiles(\.[^]]*)?\]$/ {
        n = split(value, field, ",")
        subdir = n >= 2 ? field[2] : ""; gsub(/^[ \t"]+|[ \t"]+$/, "", subdir)
        if (subdir != "") { print "SUBDIR " key " " subdir; next }
        print key
    }')
printf '%s\n' DorvaneV.inf
while IFS= read -r name; do
    [[ -n $name ]] || continue
    if [[ $name == SUBDIR\ * ]]; then
        read -r _ file subdir <<<"$name"
        echo "driver package: DorvaneV.inf names $file in a subfolder ($subdir); keep it beside the INF" >&2
        exit 1
    fi
    [[ -f $folder/$name ]] || { echo "driver package: DorvaneV.inf names $name, which is not in $folder" >&2; exit 1; }
    printf '%s\n' "$name"
done <<<"$named" | awk '!seen[tolower($0)]++'
