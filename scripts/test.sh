#!/usr/bin/env bash
# The whole check, as CI runs it: install what is missing, check formatting, build and run every
# test, cross-build for Windows and run the Windows tests under Wine, build and test again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then run each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== formatting"
git ls-files -- '*.h' '*.cpp' | xargs -r clang-format-14 --dry-run --Werror

echo "== build and test (release)"
scripts/build.sh release
ctest --test-dir build/release --output-on-failure -j2

echo "== Windows builds (32- and 64-bit, mingw-w64) and tests under Wine"
scripts/windows.sh test

echo "== build and test (AddressSanitizer, UndefinedBehaviorSanitizer)"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j2

echo "== fuzzing (bounded)"
scripts/build.sh fuzz
seconds=${KRZ_FUZZ_SECONDS:-60}
for target in build/fuzz/bin/fuzz_*; do
  [ -x "$target" ] || continue
  echo "-- $(basename "$target") for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 2>&1 | tail -n 2
done
echo "All checks passed."
