#!/usr/bin/env bash
# The starter benchmark, in one command:
#   bench/run.sh [--scale S] [--runs N] [--no-wine] [--seed N]
# Installs the Debian packages it needs when they are missing, builds the
# bench's programs, a packer and the starters in build/bench, generates and
# packs the synthetic application, times the native starter against the floor
# and other unzip tools (and the Windows starter under Wine, unless --no-wine),
# measures the starter's memory at scales 0.1 and 1.0, and prints a table.
# See bench/README.md.
set -euo pipefail
bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

wine=1
for arg in "$@"; do
  case "$arg" in
    --no-wine) wine=0 ;;
    -h|--help) sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
  esac
done

packages=(cmake ninja-build g++ zlib1g-dev python3 unzip libarchive-tools)
if [ "$wine" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev wine wine64)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
# 7-Zip's 7zz is Debian's package 7zip (from bookworm on); without it, the
# bench goes on without 7zz.
want_7zip=0
if ! command -v 7zz >/dev/null && ! installed 7zip; then
  want_7zip=1
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
if [ ${#missing[@]} -gt 0 ] || [ "$want_7zip" = 1 ]; then
  $sudo apt-get update -q >/dev/null
  if [ "$want_7zip" = 1 ]; then
    if apt-cache show 7zip >/dev/null 2>&1; then
      missing+=(7zip)
    else
      echo "bench: no Debian package 7zip here; 7zz is left out" >&2
    fi
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" >/dev/null
  fi
fi

# The project's own dependencies, libdeflate's source for the Windows build
# among them.
"$bench_dir/../scripts/install-deps.sh"

exec /usr/bin/python3 "$bench_dir/bench.py" "$@"
