#!/usr/bin/env bash
# Builds the starter around the bundled demo application and runs it: the
# banner, the unpacking, the demo running from the unpacked tree, the clean-up.
# With --windows, builds the Windows starter and runs it under Wine.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$repo_root/scripts/install-deps.sh" >&2

configure_native >/dev/null
cmake --build "$native_build" --target starter_demo pack >/dev/null
if [ "${1:-}" = "--windows" ]; then
  configure_windows >/dev/null
  cmake --build "$windows_build" --target starter_demo >/dev/null
  echo "== $windows_build/demo/starter.exe (under Wine)" >&2
  exec wine "$windows_build/demo/starter.exe"
fi
echo "== $native_build/demo/starter" >&2
exec "$native_build/demo/starter"
