#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing,
# from the lists in scripts/packages.txt:
#   scripts/install-deps.sh          everything the test command needs
#   scripts/install-deps.sh --demo   only what scripts/demo.sh needs
#   scripts/install-deps.sh --sim    only what scripts/demo.sh --sim needs
#   ... --print                      names that list's packages, installs nothing
# A mirror that answers for some lists only is reported, and the set-up goes
# on with the lists there are. The i386 packages (Wine's 32-bit half) are
# installed on their own: where they cannot be had, the 32-bit runs are
# skipped, saying so. A package anything else needs that cannot be installed
# fails the set-up, with apt's error. Every change to the machine is said.
set -euo pipefail
cd "$(dirname "$0")/.."
list=full print=0
for argument in "$@"; do
    case $argument in
        --sim) list=sim ;;
        --demo) list=demo ;;
        --print) print=1 ;;
        *) echo "usage: scripts/install-deps.sh [--sim|--demo] [--print]" >&2; exit 2 ;;
    esac
done
SUDO=()
[[ $(id -u) -ne 0 ]] && SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
LOG=$(mktemp)
trap 'rm -f "$LOG"' EXIT
apt_quietly() {  # apt-get, its output into $LOG
    "${SUDO[@]}" apt-get -q -y "$@" >"$LOG" 2>&1
}
apt_errors() { grep -E '^(E|W): ' "$LOG" | sed 's/^/  /' || tail -n 5 "$LOG" | sed 's/^/  /'; }

packages() {  # the packages of one list of scripts/packages.txt
    awk -v list="$1" '!/^#/ && NF { n = split($2, l, ",")
                                    for (i = 1; i <= n; i++) if (l[i] == list) print $1 }' scripts/packages.txt
}
needed_by() {  # what cannot run without a package
    awk -v p="$1" '$1 == p { $1 = $2 = ""; sub(/^ +/, ""); print }' scripts/packages.txt
}
# (Outputs are read whole: grep -q ending a pipe early fails it under pipefail.)
missing() {  # those of the packages given that are not installed
    local p status
    for p; do
        status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] || echo "$p"
    done
}
available() {  # apt has a version of the package to install
    local policy
    policy=$(apt-cache policy "$1" 2>/dev/null || true)
    [[ $policy == *"Candidate: "* && $policy != *"Candidate: (none)"* ]]
}

mapfile -t required < <(packages "$list")
optional=()
[[ $list == full ]] && mapfile -t optional < <(packages i386)
if [[ $print == 1 ]]; then
    echo "${required[@]}" "${optional[@]}"
    exit 0
fi

# A set-up that was interrupted leaves packages unpacked but not configured,
# or half-installed: finish it before anything else.
if [[ -n $(dpkg --audit 2>/dev/null) ]]; then
    echo "an earlier set-up was interrupted: finishing it (dpkg --configure -a)"
    "${SUDO[@]}" dpkg --configure -a || true
    if [[ -n $(dpkg --audit 2>/dev/null) ]] && ! apt_quietly install -f; then
        apt_errors
    fi
    if [[ -n $(dpkg --audit 2>/dev/null) ]]; then
        dpkg --audit >&2
        echo "the interrupted set-up could not be finished (above: dpkg --audit)" >&2
        exit 1
    fi
fi

mapfile -t missing_required < <(missing "${required[@]}")
mapfile -t missing_optional < <(missing "${optional[@]}")
if (( ${#missing_optional[@]} )) && [[ $'\n'$(dpkg --print-foreign-architectures)$'\n' != *$'\n'i386$'\n'* ]]; then
    "${SUDO[@]}" dpkg --add-architecture i386
    echo "changed: added Debian's i386 architecture (dpkg --add-architecture i386) for ${missing_optional[*]}"
fi

if (( ${#missing_required[@]} + ${#missing_optional[@]} )); then
    echo "installing: ${missing_required[*]}${missing_optional[*]:+ }${missing_optional[*]}"
    if ! apt_quietly update; then
        echo "apt-get update failed for some lists; going on with the lists there are:"
        apt_errors
    fi
    unknown=()
    for p in "${missing_required[@]}"; do available "$p" || unknown+=("$p"); done
    installable=()
    for p in "${missing_required[@]}"; do [[ " ${unknown[*]} " == *" $p "* ]] || installable+=("$p"); done
    if (( ${#installable[@]} )) && ! apt_quietly install "${installable[@]}"; then
        echo "could not install ${installable[*]}; apt said:" >&2
        apt_errors >&2
        exit 1
    fi
    for p in "${unknown[@]}"; do
        echo "no package $p in this machine's package sources: $(needed_by "$p") cannot run" >&2
    done
    (( ${#unknown[@]} == 0 )) || exit 1
    if (( ${#missing_optional[@]} )) && ! apt_quietly install "${missing_optional[@]}"; then
        reason=$(grep -m1 -E '^E: ' "$LOG" || true)
        echo "could not be installed: ${missing_optional[*]} (apt: ${reason#E: });" \
            "the 32-bit runs will be skipped ($(needed_by "${missing_optional[0]}"))"
    fi
fi

# The 32-bit question, for the test command only: Wine's 32-bit half may be
# missing (above), or installed on a kernel that cannot execute i386
# programs (Linux with ia32_emulation off: "Exec format error"). Only the
# second is mended, by qemu's user-mode i386 emulation registered with
# binfmt_misc. Bookworm's qemu-user (7.2) takes MAP_FIXED_NOREPLACE for a
# hint, which breaks Wine's address-space set-up; bookworm-backports' does not.
enable_i386_emulation() {
    local codename qemu=/usr/bin/qemu-i386 binfmt=/proc/sys/fs/binfmt_misc
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [[ $codename == bookworm ]]; then
        if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
            source scripts/apt-sources.sh
            local uri keyring list=/etc/apt/sources.list.d/bookworm-backports.sources
            uri=$(release_uri) || { echo "no source for $codename in the apt configuration" >&2; return 1; }
            keyring=$(release_sources | awk -v c="$codename" '$2 == c && !k { k = $3 } END { print k }')
            { printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n' "$uri"
              [[ $keyring == - ]] || printf 'Signed-By: %s\n' "$keyring"; } | "${SUDO[@]}" tee "$list" >/dev/null
            echo "changed: added $list (bookworm-backports from $uri, this machine's mirror)"
        fi
        local version
        version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
        if [[ -z $version ]] || dpkg --compare-versions "$version" lt 1:8; then
            apt_quietly update || apt_errors
            apt_quietly install --no-install-recommends -t bookworm-backports qemu-user || { apt_errors; return 1; }
            echo "changed: installed qemu-user from bookworm-backports"
        fi
    elif [[ -n $(missing qemu-user) ]]; then
        apt_quietly install --no-install-recommends qemu-user || { apt_errors; return 1; }
        echo "changed: installed qemu-user"
    fi
    if [[ ! -e $binfmt/register ]]; then
        "${SUDO[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
        echo "changed: mounted binfmt_misc on $binfmt"
    fi
    [[ -e $binfmt/qemu-i386 ]] && echo -1 | "${SUDO[@]}" tee "$binfmt/qemu-i386" >/dev/null
    # i386 ELF executables; F: the interpreter is opened now, so that it is
    # found from any mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' |
        "${SUDO[@]}" tee "$binfmt/register" >/dev/null || return 1
    echo "changed: registered $qemu with binfmt_misc for i386 programs (until the next boot)"
}
if [[ $list == full ]]; then
    source tests/wine/arch.sh
    status=0
    reason=$(why_no_wine32) || status=$?
    if (( status == 2 )); then
        echo "$reason: setting up qemu's i386 emulation"
        enable_i386_emulation || echo "qemu's i386 emulation could not be set up"
        status=0
        reason=$(why_no_wine32) || status=$?
    fi
    if (( status == 0 )); then
        echo "Wine's 32-bit loader runs"
    else
        echo "the 32-bit runs will be skipped: $reason"
    fi
fi
echo "dependencies present"
