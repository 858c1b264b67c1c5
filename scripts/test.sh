#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the native build
# under AddressSanitizer and UndefinedBehaviorSanitizer, the extraction's unit
# tests under ThreadSanitizer, and the Windows build under Wine. Each build's
# CTest run includes the runs that share one tree and their bounded stress
# (8 runs at once, 5 rounds: tests/e2e/shared_runs.py). Exits non-zero on the
# first failure.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$repo_root/scripts/install-deps.sh"

echo "== native build"
configure_native
cmake --build "$native_build"
ctest --test-dir "$native_build" --output-on-failure

echo "== native build with sanitizers"
sanitize_build="$repo_root/build/sanitize"
configure sanitize
cmake --build "$sanitize_build"
ctest --test-dir "$sanitize_build" --output-on-failure

echo "== extraction tests with ThreadSanitizer"
tsan_build="$repo_root/build/tsan"
configure tsan
cmake --build "$tsan_build" --target unit_tests
ctest --test-dir "$tsan_build" --output-on-failure -L threads

echo "== Windows build, tests under Wine"
configure_windows
cmake --build "$windows_build"
ctest --test-dir "$windows_build" --output-on-failure
