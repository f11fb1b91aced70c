#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, seeded from tests/fuzz/corpus, and
# prints executions per second, coverage and findings per target. Exits 1 on any finding.
set -uo pipefail
build="${1:-build-fuzz}"
seconds="${2:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
findings="$build/findings"
mkdir -p "$findings"
status=0
printf '%-18s %10s %8s %8s %s\n' target "exec/s" cov ft result
for binary in "$build"/fuzz/fuzz_*; do
  name="$(basename "$binary")"
  name="${name#fuzz_}"
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  log="$build/$name.log"
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" UBSAN_OPTIONS="print_stacktrace=1" \
    "$binary" "$corpus" "$root/tests/fuzz/corpus/$name" -max_total_time="$seconds" \
    -timeout=30 -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$findings/$name-" >"$log" 2>&1
  rc=$?
  execs="$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$')"
  cov="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')"
  ft="$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')"
  result="clean"
  if [ "$rc" -ne 0 ]; then
    result="FINDING (see $log and $findings/$name-*)"
    status=1
  fi
  printf '%-18s %10s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit "$status"
