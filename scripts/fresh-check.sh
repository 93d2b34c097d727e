#!/usr/bin/env bash
# The README's first command on a new machine: a minimal root of this
# machine's own Debian release, built by mmdebstrap from the sources the
# machine's apt configuration names (scripts/apt-sources.sh); a clean clone
# of HEAD copied in; scripts/demo.sh run there as root, with /proc, /dev
# (and so /dev/shm) and a fresh /tmp mounted as Wine needs. Passes when the
# demo ends with its success line.
# Packages are kept between runs in build/fresh-root-cache, and the ones the
# demo installs are first taken from this machine's apt cache where it holds
# the same files: the root is the machine's own release, and apt checks each
# file against its index before using it.
# Exits 77 (skipped), saying why, when the root cannot be built: not root,
# no mmdebstrap, no source for the release, or no registry reachable.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) == 0 ]] || skip "building a root needs root"
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed"
source scripts/apt-sources.sh
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mapfile -t entries < <(release_sources "$codename")
((${#entries[@]})) || skip "this machine's apt configuration names no source for $codename"
uri=$(release_uri "$codename")
if ! timeout 30 /usr/lib/apt/apt-helper download-file "$uri/dists/$codename/InRelease" "$(mktemp -u)" \
        >/dev/null 2>&1; then
    skip "no registry reachable ($uri/dists/$codename/InRelease could not be fetched)"
fi

FRESH="$ROOT/build/fresh-root"
CACHE="$ROOT/build/fresh-root-cache"
LOG="$ROOT/build/fresh-check.log"
mkdir -p "$CACHE"
unmount_all() {
    local point
    for point in tmp dev proc; do
        mountpoint -q "$FRESH/$point" && umount -R "$FRESH/$point"
    done
    return 0
}
remove_root() {  # never while anything is mounted inside it
    unmount_all
    if grep -q " $FRESH/" /proc/self/mounts; then
        echo "fresh-check: $FRESH still has mounts; left in place" >&2
        return 1
    fi
    rm -rf --one-file-system "$FRESH"
}
trap remove_root EXIT
trap 'exit 143' TERM INT  # the test command ends a run it stops early: unmount first
remove_root

started=$SECONDS
sources=()
for entry in "${entries[@]}"; do
    read -r source_uri suite keyring components <<<"$entry"
    option=""
    [[ $keyring == - ]] || option="[signed-by=$keyring] "
    sources+=("deb $option$source_uri $suite $components")
done
echo "a minimal $codename root in $FRESH, from this machine's sources:"
printf '  %s\n' "${sources[@]}"
# The apt lists stay, for the demo's own apt-get update to bring up to date.
if ! mmdebstrap --variant=minbase --mode=root --skip=cleanup/apt/lists \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
        --setup-hook="sync-in $CACHE /var/cache/apt/archives/" \
        --customize-hook="sync-out /var/cache/apt/archives $CACHE" \
        "$codename" "$FRESH" "${sources[@]}" >"$LOG" 2>&1; then
    cat "$LOG"
    echo "fresh-check: mmdebstrap could not build the root (log: $LOG)" >&2
    exit 1
fi
echo "root built in $((SECONDS - started)) s"

# What the demo will install, from the cache or this machine's, where the
# same file is there.
mkdir -p "$FRESH/var/cache/apt/archives"
read -ra demo_packages <<<"$(scripts/install-deps.sh --demo --print)"
mapfile -t wanted < <(chroot "$FRESH" apt-get install -qq --print-uris "${demo_packages[@]}" 2>/dev/null |
    awk -F"'" '{ print $3 }' | awk '{ print $1 }')
reused=0
for file in "${wanted[@]}"; do
    for from in "$CACHE" /var/cache/apt/archives; do
        if [[ -f $from/$file ]]; then
            cp -l "$from/$file" "$FRESH/var/cache/apt/archives/" 2>/dev/null ||
                cp "$from/$file" "$FRESH/var/cache/apt/archives/"
            reused=$((reused + 1))
            break
        fi
    done
done
echo "the demo's packages: ${#wanted[@]} files, $reused already here"

git clone -q --no-hardlinks "$ROOT" "$FRESH/root/ndisfilter"
echo "a clean clone of HEAD ($(git rev-parse --short HEAD)) in /root/ndisfilter"
cp -L /etc/resolv.conf "$FRESH/etc/resolv.conf"
mount -t proc proc "$FRESH/proc"
mount --rbind /dev "$FRESH/dev"
mount --make-rslave "$FRESH/dev"
mount -t tmpfs tmpfs "$FRESH/tmp"

echo "running scripts/demo.sh in the root, as root"
demo_started=$SECONDS
code=0
chroot "$FRESH" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
    bash -c 'cd /root/ndisfilter && scripts/demo.sh' >"$FRESH.out" 2>&1 || code=$?
cat "$FRESH.out"
cp -n "$FRESH"/var/cache/apt/archives/*.deb "$CACHE/" 2>/dev/null || true
echo "the demo took $((SECONDS - demo_started)) s; the whole check $((SECONDS - started)) s"
if [[ $code != 0 ]]; then
    echo "fresh-check: FAIL: scripts/demo.sh exited $code in a fresh root"
    exit 1
fi
if ! tr -d '\r' <"$FRESH.out" | grep -qx '== done: installed, then removed with its INF copy purged'; then
    echo "fresh-check: FAIL: scripts/demo.sh exited 0 without its success line"
    exit 1
fi
echo "fresh-check: 1 passed, 0 failed (scripts/demo.sh ended with its success line in a fresh $codename root)"
