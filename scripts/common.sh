# Shared by the scripts: the repository root, the build folders, Wine's quiet
# settings, configuring the builds through the presets of CMakePresets.json,
# and the application a starter carries by default.
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
native_build="$repo_root/build/native"
windows_build="$repo_root/build/windows"

export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# configure PRESET [CMAKE-ARGUMENT...]: configures the preset's build (another
# folder with -B FOLDER among the arguments).
configure() {
  local preset="$1"
  shift
  cmake -S "$repo_root" --preset "$preset" "$@"
}

configure_native() {
  configure native "$@"
}

configure_windows() {
  configure windows "$@"
}

# Sets default_app_name and default_exe ('/'-separated) from
# cmake/StarterDefaults.cmake, the one place they are written.
load_starter_defaults() {
  local defaults
  defaults="$(cmake -P "$repo_root/cmake/StarterDefaults.cmake")"
  default_app_name="$(sed -n 1p <<<"$defaults")"
  default_exe="$(sed -n 2p <<<"$defaults")"
  [ -n "$default_app_name" ] && [ -n "$default_exe" ]
}
