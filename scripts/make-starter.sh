#!/usr/bin/env bash
# Makes a starter for an application: one executable that unpacks the
# application at each run, starts it, and cleans up after it. A copy of a
# prebuilt stub carrying the archive (pack --stub); `--help` says more.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
  cat <<EOF
Usage: make-starter.sh SOURCE -o OUTPUT [--windows] [--app-name NAME] [--exe PATH] [--level N]
                       [--store-below PERCENT]

Makes a starter: one executable that unpacks the application into the folder
NAME in the temporary directory at each run, starts PATH from there with NAME
as its only argument, and removes the folder again.

  SOURCE           the application's folder, packed now as it is, or a ready
                   ZIP archive in the packer's form (pack list --exe PATH)
  -o OUTPUT        the starter to write; its folder must exist, and it is
                   neither SOURCE nor inside the folder SOURCE
  --windows        a Windows .exe (default: a starter for this system)
  --app-name NAME  the folder's name and the application's argument: one
                   name Windows can create (default: $default_app_name)
  --exe PATH       the program inside SOURCE, relative, '/'-separated
                   (default: $default_exe)
  --level N        deflate level 0-9 for a folder (default: the packer's, 6)
  --store-below PERCENT
                   for a folder: keep the pieces deflate shrinks by less
                   than PERCENT percent (0-100) as they are, to unpack
                   faster; 0 deflates every piece (default: the packer's, 2)
  -h, --help       this text

The packer and the stub are built once, when missing.
Exit status: 0 starter written, 1 failure (nothing written), 2 bad command
line (an unusable NAME or PATH, OUTPUT being SOURCE or inside it).
EOF
}
usage_error() {
  echo "make-starter: $*" >&2
  usage >&2
  exit 2
}
refuse() {
  echo "make-starter: $*" >&2
  exit 2
}
fail() {
  echo "make-starter: $*" >&2
  exit 1
}

load_starter_defaults || fail "cannot read the defaults from cmake/StarterDefaults.cmake"
source_arg="" output="" windows=0 app_name="$default_app_name" exe="$default_exe"
level="" store_below=""
while [ $# -gt 0 ]; do
  case "$1" in
    -o|--app-name|--exe|--level|--store-below)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case "$1" in
        -o) output="$2" ;;
        --app-name) app_name="$2" ;;
        --exe) exe="$2" ;;
        --level) [[ "$2" =~ ^[0-9]$ ]] || usage_error "--level needs a number from 0 to 9, not '$2'"
                  level="$2" ;;
        --store-below) [[ "$2" =~ ^(100|[1-9]?[0-9])$ ]] ||
                         usage_error "--store-below needs a number from 0 to 100, not '$2'"
                       store_below="$2" ;;
      esac
      shift 2 ;;
    --windows) windows=1; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) usage_error "unknown option $1" ;;
    *) [ -z "$source_arg" ] || usage_error "more than one SOURCE: $source_arg, $1"
       source_arg="$1"; shift ;;
  esac
done
[ -n "$source_arg" ] || usage_error "no SOURCE given"
[ -n "$output" ] || usage_error "no OUTPUT given (-o OUTPUT)"

# The names are checked by the packer's own rule (pack check-names): first of
# all when the packer is built, otherwise as soon as it is.
pack="$native_build/tools/pack"
check_names() {
  local problems
  if ! problems="$("$pack" check-names --app-name "$app_name" --exe "$exe" 2>&1)"; then
    sed -n 's/^pack: /make-starter: /p' <<<"$problems" >&2
    exit 2
  fi
}
names_checked=0
if [ -x "$pack" ]; then
  check_names
  names_checked=1
fi

[ -e "$source_arg" ] || fail "$source_arg: no such file or folder"
[ -r "$source_arg" ] || fail "$source_arg: not readable"
source_path="$(cd "$(dirname "$source_arg")" && pwd)/$(basename "$source_arg")"
source_real="$(realpath -- "$source_arg")"
if [ -d "$source_path" ]; then
  [ -x "$source_path" ] || fail "$source_path: folder cannot be listed"
  [ -f "$source_path/$exe" ] ||
    fail "$source_path has no $exe: the starter would not find its application (use --exe)"
elif [ ! -f "$source_path" ]; then
  fail "$source_path: neither a folder nor a file"
fi

# The output's place, compared by real paths: the starter replaces the file
# at OUTPUT (through a temporary file renamed over it), and must neither
# replace SOURCE nor be packed into a later starter from the same folder.
case "$output" in
  */) fail "$output: -o names the starter's file, not a folder" ;;
esac
output_folder="$(dirname -- "$output")"
[ -d "$output_folder" ] || fail "$output_folder: no such folder for the starter (-o $output)"
[ ! -d "$output" ] || fail "$output is a folder; -o names the starter's file"
output_real="$(cd "$output_folder" && pwd -P)/$(basename -- "$output")"
if [ "$output_real" = "$source_real" ] ||
  { [ -e "$output" ] && [ "$(realpath -- "$output")" = "$source_real" ]; }; then
  refuse "-o $output is SOURCE itself"
fi
if [ -d "$source_real" ]; then
  case "$output_real" in
    "${source_real%/}"/*) refuse "-o $output lies inside the application folder $source_arg" ;;
  esac
fi

# A starter is a copy of a prebuilt stub with the archive added (pack --stub):
# no compiler runs per starter. The packer and the stub are built once, when
# missing.
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
[ "$names_checked" = 1 ] || check_names
if [ "$windows" = 1 ] && [ ! -f "$stub" ]; then
  echo "make-starter: building the Windows stub (once)" >&2
  "$repo_root/scripts/install-deps.sh" >&2
  build configure_windows
  build cmake --build "$windows_build" --target starter_stub
fi

# pack --stub itself only makes sure a ready archive opens and holds the
# program; one that breaks the packer's form may still fail to unpack.
if [ -f "$source_path" ]; then
  if ! verdict="$("$pack" list --exe "$exe" --quiet "$source_path" 2>&1)"; then
    echo "$verdict" >&2
    fail "$source_arg is not an archive a starter can carry (see above); pass the application's" \
      "folder instead, or pack it with $pack"
  fi
fi

options=(--stub "$stub" --app-name "$app_name" --exe "$exe" --require-exe --quiet)
if [ -n "$level" ]; then
  options+=(--level "$level")
fi
if [ -n "$store_below" ]; then
  options+=(--store-below "$store_below")
fi
status=0
"$pack" "$source_path" -o "$output" "${options[@]}" || status=$?
if [ "$status" != 0 ]; then
  echo "make-starter: pack could not make the starter (nothing written)" >&2
  [ "$status" = 2 ] && exit 2
  exit 1
fi
echo "make-starter: wrote $output ($(stat -c %s "$output") bytes)"
