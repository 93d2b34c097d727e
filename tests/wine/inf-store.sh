# shellcheck shell=bash
# Sourced, with WINEPREFIX set, by the scripts that run the Windows build
# under Wine: our INF's copies in the prefix's INF store.
#
# Windows names every copy of an INF in its store oem<N>.inf, and the
# library's purge looks only at those; Wine keeps the copy under the INF's
# own name while that name is free in the store. hold_inf_name makes Wine do
# as Windows does: it takes out a copy of our INF left under that name, then
# holds the name with a different file unless one holds it already.
# release_inf_name takes away what hold_inf_name put there.
STORE_UNIX=$WINEPREFIX/drive_c/windows/inf
OUR_INF=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/inf/DorvaneV.inf
inf_name_held=0

# Takes out a copy of our INF that Wine kept under the INF's own name.
remove_copy_under_own_name() {
    if cmp -s "$STORE_UNIX/DorvaneV.inf" "$OUR_INF"; then rm -f "$STORE_UNIX"/DorvaneV.[ip]nf; fi
}
hold_inf_name() {
    remove_copy_under_own_name
    [[ -e $STORE_UNIX/DorvaneV.inf ]] && return 0
    printf '; placeholder holding this file name in the INF store\r\n[Version]\r\nSignature="$Windows NT$"\r\n' \
        >"$STORE_UNIX/DorvaneV.inf"
    inf_name_held=1
}
release_inf_name() {
    if ((inf_name_held)); then rm -f "$STORE_UNIX"/DorvaneV.[ip]nf; fi
    inf_name_held=0
}

# Our copies in the store, a name a line: oem<N>.inf files (any case) whose
# first 255 bytes name DorvaneV.INF.
our_store_copies() {
    local file
    for file in "$STORE_UNIX"/[oO][eE][mM]*.[iI][nN][fF]; do
        if [[ -f $file ]] && head -c 255 "$file" | grep -q 'DorvaneV\.INF'; then basename "$file"; fi
    done | sort -u
}
# Removes them, with their .PNF twins.
purge_store_copies() {
    local stale
    for stale in $(our_store_copies); do rm -f "$STORE_UNIX/$stale" "$STORE_UNIX/${stale%.*}".[Pp][Nn][Ff]; done
}
