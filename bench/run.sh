#!/usr/bin/env bash
# The starter benchmark, in one command:
#   bench/run.sh [--scale S] [--runs N] [--no-wine] [--seed N] [--thresholds LIST]
# Installs the project's Debian packages when they are missing
# (scripts/install-deps.sh), builds the bench's programs, a packer and the
# starters in build/bench through the CMake presets, generates and packs the
# synthetic application, times the native starter against the floors and
# other unzip tools on the disk's temporary folder and on tmpfs (/dev/shm),
# and the Windows starter under Wine unless --no-wine, prints the archive's
# size with and without stored pieces (and per --store-below percent in
# LIST, e.g. 0,1,2,3,5), measures the starter's memory at scales 0.1 and 1.0,
# and prints a table.
# See bench/README.md.
set -euo pipefail
bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

for arg in "$@"; do
  case "$arg" in
    -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
  esac
done

# The project's own dependencies, libdeflate's source for the Windows build
# among them.
"$bench_dir/../scripts/install-deps.sh"

exec /usr/bin/python3 "$bench_dir/bench.py" "$@"
