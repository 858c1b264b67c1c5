# Shared by the scripts: the repository root, the build folders, Wine's quiet
# settings, and configuring the two builds.
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
native_build="$repo_root/build/native"
windows_build="$repo_root/build/windows"

export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

configure_native() {
  cmake -S "$repo_root" -B "$native_build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
}

configure_windows() {
  cmake -S "$repo_root" -B "$windows_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake" \
    -DSTARTER_HOST_PACKER="$native_build/tools/pack" "$@"
}
