#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset, clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays every kept regression input, then fuzzes each target for a
# bounded time from its committed seed corpus. Prints the runs executed and the corpus size per
# target; exits non-zero when any input crashes, hangs or breaks a target's checks, leaving the
# input in build/fuzz/artifacts/<target>/.
#
# Usage: fuzz/run-fuzzers.sh [seconds per target]   (default 60, or $FUZZ_SECONDS)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-60}}
build=build/fuzz
targets=(fuzz_analysis fuzz_speedtracker fuzz_capsreport fuzz_audiofile)

# Largest input worth mutating per target: one block plus the count; some seconds of samples
# at the tracker's low rates (many reading intervals); the three capability records; a short
# recording (longer ones only make each run slower, not the loader's paths different).
declare -A maxLen=([fuzz_analysis]=16388 [fuzz_speedtracker]=40004 [fuzz_capsreport]=104
                   [fuzz_audiofile]=10000)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

# The sanitizers must stop at the first report so libFuzzer keeps the input; leak checking is
# libFuzzer's own (-detect_leaks).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"

failed=0
summary=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  regressions=fuzz/regressions/$target
  seeds=fuzz/corpus/$target
  work=$build/corpus/$target
  artifacts=$build/artifacts/$target
  log=$build/logs/$target.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"

  echo "=== $target: regressions ==="
  mapfile -t kept < <(find "$regressions" -type f ! -name '.*' 2>/dev/null | sort)
  if [ ${#kept[@]} -gt 0 ]; then
    if ! "$binary" -timeout=30 "${kept[@]}" >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "$target: a kept regression input fails again (log: $log)"
      failed=1
      continue
    fi
    echo "$target: ${#kept[@]} regression inputs pass"
  fi

  echo "=== $target: fuzzing for ${seconds} s ==="
  # New finds go to a corpus in the build tree; the committed seeds are only read.
  if "$binary" "$work" "$seeds" -max_total_time="$seconds" -max_len="${maxLen[$target]}" \
      -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    status=ok
  else
    status=CRASH
    failed=1
    grep -E "ERROR|runtime error|$target:|SUMMARY|Test unit written" "$log" | head -n 20 || true
    echo "$target: input kept in $artifacts/ (log: $log); fix it and add the input to $regressions/"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  files=$(find "$work" -type f | wc -l)
  bytes=$(find "$work" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  summary+=("$(printf '%-16s %-5s runs %10s   corpus %5d files %9d bytes' \
    "$target" "$status" "${runs:-?}" "$files" "$bytes")")
done

echo "=== fuzzing summary (${seconds} s per target) ==="
printf '%s\n' "${summary[@]}"
exit "$failed"
