#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing.
#   scripts/install-deps.sh          everything the test command needs
#   scripts/install-deps.sh --demo   only what scripts/demo.sh needs
#   scripts/install-deps.sh --sim    only what scripts/demo.sh --sim needs
set -euo pipefail
if [[ ${1:-} == --sim ]]; then
  packages=(cmake ninja-build g++)
elif [[ ${1:-} == --demo ]]; then
  # The demo: the 64-bit Windows build, run by Wine's 64-bit loader.
  packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)
else
  packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
    wine wine64 wine32:i386
    wixl msitools nlohmann-json3-dev zip unzip
    valgrind clang-tidy clang-format cppcheck
  )
fi
SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
# Wine's 32-bit half (wine32:i386) comes from Debian's i386 architecture.
for p in "${packages[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture for ${p}"
    $SUDO dpkg --add-architecture i386
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if (( ${#missing[@]} )); then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine's 32-bit half needs a kernel that runs 32-bit x86 code. Where it does
# not (Linux with ia32_emulation off: executing an i386 program fails with
# "Exec format error"), the i386 programs run under qemu's user-mode
# emulation, registered with binfmt_misc. Bookworm's qemu-user (7.2) takes
# MAP_FIXED_NOREPLACE for a hint, which breaks Wine's address space set-up;
# bookworm-backports' does not.
enable_i386_emulation() {
  local codename qemu=/usr/bin/qemu-i386
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [[ $codename == bookworm ]]; then
    local list=/etc/apt/sources.list.d/bookworm-backports.sources
    if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "adding bookworm-backports for qemu-user"
      printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
        $SUDO tee "$list" >/dev/null
    fi
    local version
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
    if [[ -z $version ]] || dpkg --compare-versions "$version" lt 1:8; then
      echo "installing qemu-user from bookworm-backports"
      $SUDO apt-get update -qq
      DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        -t bookworm-backports qemu-user >/dev/null
    fi
  elif ! dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  [[ -e $binfmt/register ]] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  [[ -e $binfmt/qemu-i386 ]] && echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
  # i386 ELF executables; F: the interpreter is opened now, so that it is
  # found from any mount namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' |
    $SUDO tee "$binfmt/register" >/dev/null 2>&1 || true
}
if [[ ${1:-} == "" ]] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this kernel runs no 32-bit code: Wine's 32-bit half runs under qemu-i386"
  enable_i386_emulation
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "Wine's 32-bit loader runs under $(qemu-i386 --version | head -1)"
  else
    echo "warning: Wine's 32-bit loader still does not run; the 32-bit tests will be skipped" >&2
  fi
fi
echo "dependencies present"
