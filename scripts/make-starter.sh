#!/usr/bin/env bash
# Makes a starter for an application: one executable that unpacks the
# application at each run, starts it, and cleans up after it.
#
#   ./scripts/make-starter.sh SOURCE -o OUTPUT [--windows] [--app-name NAME] [--exe PATH]
#
# SOURCE is the application's folder (packed now) or a ready ZIP archive.
# The starter is a copy of a prebuilt stub carrying the archive (pack --stub):
# --windows makes the Windows .exe, otherwise a native starter. The packer and
# the stub are built once when missing. --app-name names the folder unpacked
# into the temporary directory and is the application's only argument; --exe
# is the application's executable inside SOURCE, '/'-separated. Without them
# the build's defaults apply (cmake/StarterDefaults.cmake; shown below).
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
  {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    echo "Defaults: --app-name $default_app_name --exe $default_exe"
  } >&2
  exit 2
}
fail() {
  echo "make-starter: $*" >&2
  exit 1
}

load_starter_defaults || fail "cannot read the defaults from cmake/StarterDefaults.cmake"
source_arg="" output="" windows=0 app_name="$default_app_name" exe="$default_exe"
while [ $# -gt 0 ]; do
  case "$1" in
    -o) [ $# -ge 2 ] || usage; output="$2"; shift 2 ;;
    --windows) windows=1; shift ;;
    --app-name) [ $# -ge 2 ] || usage; app_name="$2"; shift 2 ;;
    --exe) [ $# -ge 2 ] || usage; exe="$2"; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "make-starter: unknown option $1" >&2; usage ;;
    *) [ -z "$source_arg" ] || usage; source_arg="$1"; shift ;;
  esac
done
[ -n "$source_arg" ] && [ -n "$output" ] || usage

[ -e "$source_arg" ] || fail "$source_arg: no such file or folder"
[ -r "$source_arg" ] || fail "$source_arg: not readable"
source_path="$(cd "$(dirname "$source_arg")" && pwd)/$(basename "$source_arg")"
if [ -d "$source_path" ]; then
  [ -x "$source_path" ] || fail "$source_path: folder cannot be listed"
  [ -f "$source_path/$exe" ] ||
    fail "$source_path has no $exe: the starter would not find its application (use --exe)"
elif [ ! -f "$source_path" ]; then
  fail "$source_path: neither a folder nor a file"
fi
case "$app_name" in
  ""|*/*|*\\*) fail "--app-name must be a plain folder name" ;;
esac

# A starter is a copy of a prebuilt stub with the archive added (pack --stub):
# no compiler runs per starter. The packer and the stub are built once, when
# missing.
pack="$native_build/tools/pack"
if [ "$windows" = 1 ]; then
  stub="$windows_build/starter-stub.exe"
else
  stub="$native_build/starter-stub"
fi
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
build() {
  if ! "$@" >"$log" 2>&1; then
    grep -E '^(CMake Error|FAILED)' "$log" >&2 || tail -n 20 "$log" >&2
    fail "the build failed"
  fi
}
if [ ! -x "$pack" ] || { [ "$windows" = 0 ] && [ ! -f "$stub" ]; }; then
  echo "make-starter: building the packer and the native stub (once)" >&2
  "$repo_root/scripts/install-deps.sh" >&2
  build configure_native
  build cmake --build "$native_build" --target pack starter_stub
fi
if [ "$windows" = 1 ] && [ ! -f "$stub" ]; then
  echo "make-starter: building the Windows stub (once)" >&2
  "$repo_root/scripts/install-deps.sh" >&2
  build configure_windows
  build cmake --build "$windows_build" --target starter_stub
fi

"$pack" "$source_path" -o "$output" --stub "$stub" --app-name "$app_name" --exe "$exe" \
  --require-exe --quiet || fail "pack could not make the starter"
echo "make-starter: wrote $output ($(stat -c %s "$output") bytes)"
