#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; the fuzz preset) and runs each for a while.
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: fuzz_image_read, fuzz_run, fuzz_settings (default: all three). Each runs on
# its own working corpus, build/fuzz/corpus-work/<target>, seeded from a copy of
# fuzz/corpus/<target> and kept between runs; the repository's corpus is never written.
# Crash, leak, timeout and out-of-memory reproducers land in build/fuzz/findings/<target>/;
# replay one with build/fuzz/bin/<target> <file>. Exits 1 when any target found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_image_read fuzz_run fuzz_settings)
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [seconds] [target ...]" >&2; exit 2 ;; esac

./scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in "${targets[@]}"; do
  program="build/fuzz/bin/$target"
  [ -x "$program" ] || { echo "no such fuzz target: $target" >&2; exit 2; }
  work="build/fuzz/corpus-work/$target"
  findings="build/fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  cp -n "fuzz/corpus/$target"/* "$work"/ 2>/dev/null || true
  log="build/fuzz/findings/$target.log"
  echo "== $target: $seconds s (log: $log)"
  before=$(ls -1 "$findings")
  # The fuzzer stops at its first fault and exits nonzero; it then names the reproducer.
  failed=0
  nice "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
       -print_final_stats=1 -artifact_prefix="$findings/" "$work" >"$log" 2>&1 || failed=1
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | sed 's/^/   /' || true
  echo "   corpus: $(ls -1 "$work" | wc -l) inputs"
  found=$(comm -13 <(echo "$before") <(ls -1 "$findings"))
  if [ $failed -ne 0 ] || [ -n "$found" ]; then
    status=1
    grep -E 'ERROR:|runtime error:|SUMMARY:|fuzz check failed' "$log" | head -5 | sed 's/^/   /' || true
    for file in $found; do echo "   reproducer: $findings/$file"; done
  fi
done
exit $status
