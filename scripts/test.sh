#!/usr/bin/env bash
# Installs the build dependencies, fuzzes each fuzz target for a bounded time (FUZZ_SECONDS,
# default 60 s each), then builds and runs the whole test suite twice: first a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, then a release build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# No display and no sound card are needed: widgets render offscreen and the audio tests
# build their own software sound device.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp

# Fuzzing comes first so the last lines printed are the test suite's summary; a crash found
# still fails the run, after the tests have had their say.
echo "=== fuzz build ==="
fuzzFailed=0
fuzz/run-fuzzers.sh "${FUZZ_SECONDS:-60}" || fuzzFailed=1
if [ "$fuzzFailed" -ne 0 ]; then
  echo "=== fuzzing found a crash (above); the run fails after the tests ==="
fi

jobs=$(nproc)
for preset in sanitize release; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
exit "$fuzzFailed"
