#!/usr/bin/env bash
# Builds a starter for an application: one executable that unpacks the
# application at each run, starts it, and cleans up after it.
#
#   ./scripts/make-starter.sh SOURCE -o OUTPUT [--windows] [--app-name NAME] [--exe PATH]
#
# SOURCE is the application's folder (packed now) or a ready ZIP archive.
# --windows builds the Windows .exe (cross-compiled); without it, a native
# starter. --app-name names the folder unpacked into the temporary directory
# and is the application's only argument; --exe is the application's
# executable inside SOURCE, '/'-separated. Without them the build's defaults
# apply (cmake/StarterDefaults.cmake; shown below).
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
  {
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
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
exe_relative="\\${exe//\//\\}"

"$repo_root/scripts/install-deps.sh" >&2
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
build() {
  if ! "$@" >"$log" 2>&1; then
    grep -E '^(pack|CMake Error|make-starter)' "$log" >&2 || tail -n 20 "$log" >&2
    fail "the build failed"
  fi
}

app_settings=(-DSTARTER_APP_SOURCE="$source_path" -DSTARTER_APP_NAME="$app_name"
              -DSTARTER_APP_EXE="$exe_relative" -DSTARTER_BUILD_TESTS=OFF -DSTARTER_BUILD_DEMO=OFF)
if [ "$windows" = 1 ]; then
  build configure_native
  build cmake --build "$native_build" --target pack
  build_dir="$repo_root/build/make-starter-windows"
  build configure windows -B "$build_dir" "${app_settings[@]}"
  built="$build_dir/starter_app.exe"
else
  build_dir="$repo_root/build/make-starter-native"
  build configure native -B "$build_dir" "${app_settings[@]}"
  built="$build_dir/starter_app"
fi
build cmake --build "$build_dir" --target starter_app
cp "$built" "$output"
echo "make-starter: wrote $output ($(stat -c %s "$output") bytes)"
