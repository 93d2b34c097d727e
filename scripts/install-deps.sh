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
echo "dependencies present"
