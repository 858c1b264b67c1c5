#!/usr/bin/env bash
# Fuzzes the ZIP reader and the extraction driver with libFuzzer.
#
# Usage: scripts/fuzz.sh [SECONDS]   (default 1800)
#
# Installs what is missing (clang and its runtime among it), builds build/fuzz
# (the fuzz preset: clang, AddressSanitizer and UndefinedBehaviorSanitizer),
# writes the seed archives, then runs two fuzzing processes side by side for
# SECONDS each. The corpus grows in build/fuzz/corpus across runs; each run's
# findings go to build/fuzz/artifacts/<run>/. Exits non-zero when a run left a
# crash, leak, timeout or out-of-memory input behind.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

duration="${1:-1800}"
if ! [[ "$duration" =~ ^[0-9]+$ ]] || [ "$duration" -eq 0 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

"$repo_root/scripts/install-deps.sh"

fuzz_build="$repo_root/build/fuzz"
configure fuzz
cmake --build "$fuzz_build" --target zip_reader_fuzzer fuzz_replay

seeds="$fuzz_build/seeds"
corpus="$fuzz_build/corpus"
run_id="$(date +%Y%m%d-%H%M%S)"
artifacts="$fuzz_build/artifacts/$run_id"
logs="$fuzz_build/logs/$run_id"
mkdir -p "$corpus" "$artifacts" "$logs"
"$fuzz_build/fuzz/fuzz_replay" --write-seeds "$seeds"

echo "Fuzzing for $duration seconds on 2 processes; logs in $logs"
# With -jobs, libFuzzer writes each job's log as fuzz-N.log in the working
# folder. New inputs go to the first corpus folder only, so the seeds stay
# as written.
# Every input writes and removes files; on a RAM-backed folder that costs a
# quarter of what it does on disk.
scratch_parent="${TMPDIR:-/tmp}"
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch_parent=/dev/shm
fi
(
  cd "$logs"
  TMPDIR="$scratch_parent" "$fuzz_build/fuzz/zip_reader_fuzzer" \
    -max_len=65536 -timeout=30 -rss_limit_mb=2048 -max_total_time="$duration" \
    -jobs=2 -workers=2 -print_final_stats=1 \
    -dict="$repo_root/fuzz/zip.dict" -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds"
) || true

executions=0
for log in "$logs"/fuzz-*.log; do
  [ -f "$log" ] || continue
  count="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  executions=$((executions + ${count:-0}))
done
corpus_files="$(find "$corpus" -type f | wc -l)"
corpus_bytes="$(du -sb "$corpus" | cut -f1)"
echo "Executions: $executions"
echo "Corpus: $corpus_files inputs, $corpus_bytes bytes in $corpus"

findings="$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
  -o -name 'oom-*' \) | sort)"
if [ -n "$findings" ]; then
  echo "Findings (reproduce with $fuzz_build/fuzz/zip_reader_fuzzer FILE):"
  echo "$findings"
  exit 1
fi
echo "No crash, leak, timeout or out-of-memory input."
