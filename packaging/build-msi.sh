#!/usr/bin/env bash
# Builds the ndisfilter package with wixl from packaging/ndisfilter.wxs.
# Usage: packaging/build-msi.sh ARCH VERSION BINDIR CADLL DRIVERDIR OUTPUT
#   ARCH       x64 or x86
#   VERSION    the product version, e.g. 1.0.0
#   BINDIR     the folder holding ndisfilter.dll and ndisfilterctl.exe
#   CADLL      ndisfilterca.dll of the same architecture
#   DRIVERDIR  the driver package folder: DorvaneV.inf, its catalog and every
#              file it names (packaging/driver-package.sh checks them)
#   OUTPUT     the .msi to write
# The CMake target `msi` of the windows-x64 / windows-x86 presets runs it.
set -euo pipefail
if [[ $# -ne 6 ]]; then
    sed -n '3,10p' "$0" >&2
    exit 2
fi
arch=$1 version=$2 bindir=$3 cadll=$4 driverdir=$5 output=$6
case $arch in x64 | x86) ;; *) echo "build-msi.sh: unknown architecture $arch" >&2; exit 2 ;; esac
for file in "$bindir/ndisfilter.dll" "$bindir/ndisfilterctl.exe" "$cadll"; do
    [[ -f $file ]] || { echo "build-msi.sh: missing $file" >&2; exit 1; }
done
here=$(cd "$(dirname "$0")" && pwd)
driverfiles=$("$here/driver-package.sh" "$driverdir") || { echo "build-msi.sh: no package built" >&2; exit 1; }
command -v wixl >/dev/null && command -v msibuild >/dev/null ||
    { echo "build-msi.sh: wixl and msibuild are needed (Debian packages wixl, msitools)" >&2; exit 1; }

# wixl takes relative file names only: it works in a staging folder.
source=$here/ndisfilter.wxs
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
stage="$output.stage"
temporary="$output.partial"
rm -rf "$stage" "$temporary"
mkdir -p "$stage"
cp "$bindir/ndisfilter.dll" "$bindir/ndisfilterctl.exe" "$stage/"
cp "$cadll" "$stage/ndisfilterca.dll"
# The driver package's files beside the others, each a File of the
# DriverPackage component; the INF is its key path.
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Include>'
    n=0
    while IFS= read -r name; do
        cp "$driverdir/$name" "$stage/$name"
        escaped=$(sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g' <<<"$name")
        if [[ $name == DorvaneV.inf ]]; then
            echo "  <File Id=\"DorvaneV.inf\" Name=\"$escaped\" Source=\"$escaped\" KeyPath=\"yes\" />"
        else
            n=$((n + 1))
            echo "  <File Id=\"DriverFile$n\" Name=\"$escaped\" Source=\"$escaped\" />"
        fi
    done <<<"$driverfiles"
    echo '</Include>'
} >"$stage/driver-package.wxi"
cp "$source" "$stage/ndisfilter.wxs"
(cd "$stage" && wixl --arch "$arch" -D Version="$version" -D Arch="$arch" -o "$temporary" ndisfilter.wxs)
rm -rf "$stage"
# wixl writes Execute="rollback" as an ordinary immediate action: make the
# rollback actions what the source says, DLL actions (1) in the rollback
# script (256 + 1024) without impersonation (2048).
for action in RollbackInstallFilter RollbackUninstallFilter; do
    msibuild "$temporary" -q "UPDATE \`CustomAction\` SET \`Type\` = 3329 WHERE \`Action\` = '$action'"
    type=$(msiinfo export "$temporary" CustomAction | awk -F'\t' -v action=$action '$1 == action {print $2}')
    [[ $type == 3329 ]] || { echo "build-msi.sh: $action's type is '$type', not 3329" >&2; exit 1; }
done
# ScheduleRestart right after InstallFinalize; the older product removed
# right after InstallValidate, before anything of this one is installed.
sequence=$(msiinfo export "$temporary" InstallExecuteSequence | tr -d '\r' | sort -t$'\t' -k3 -n |
    awk -F'\t' '$1 ~ /^(InstallValidate|RemoveExistingProducts|InstallFinalize|ScheduleRestart)$/ {printf "%s ", $1}')
[[ $sequence == "InstallValidate RemoveExistingProducts InstallFinalize ScheduleRestart " ]] ||
    { echo "build-msi.sh: InstallExecuteSequence in the wrong order: $sequence" >&2; exit 1; }
mv -f "$temporary" "$output"
echo "built $output"
