#!/usr/bin/env bash
# Installs the Debian packages this project needs, and only those missing:
# the one list, for the builds, the tests, the fuzzer and the bench. Safe to
# run again: with everything present it changes nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3 zlib1g-dev googletest    # the native build and its tests
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev             # the Windows build
  libz-mingw-w64-dev wine wine64                              # its zlib, and Wine to test it
  clang libclang-rt-dev                                       # sanitizers and the fuzzer
  zip unzip libarchive-tools 7zip                             # other ZIP tools, for comparison
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
