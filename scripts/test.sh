#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the native build
# under AddressSanitizer and UndefinedBehaviorSanitizer, the extraction's unit
# tests under ThreadSanitizer, and the Windows build under Wine. The native and
# Windows CTest runs include the runs that share one tree and their bounded
# stress (8 runs at once, 5 rounds: tests/e2e/shared_runs.py); the sanitized
# build runs every test but those labelled "once" (the stress, the
# installation, the subproject), which check no code of their own. Tests run
# two at a time; those that must run alone say so (RUN_SERIAL). Exits non-zero
# on the first failure.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$repo_root/scripts/install-deps.sh"

ctest_options=(--output-on-failure --parallel 2)

echo "== native build"
configure_native
cmake --build "$native_build"
ctest --test-dir "$native_build" "${ctest_options[@]}"

echo "== native build with sanitizers"
sanitize_build="$repo_root/build/sanitize"
configure sanitize
cmake --build "$sanitize_build"
ctest --test-dir "$sanitize_build" "${ctest_options[@]}" --label-exclude once

echo "== extraction tests with ThreadSanitizer"
tsan_build="$repo_root/build/tsan"
configure tsan
cmake --build "$tsan_build" --target unit_tests
ctest --test-dir "$tsan_build" "${ctest_options[@]}" -L threads

echo "== Windows build, tests under Wine"
configure_windows
cmake --build "$windows_build"
ctest --test-dir "$windows_build" "${ctest_options[@]}"
