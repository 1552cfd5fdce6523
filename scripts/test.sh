#!/usr/bin/env bash
# The whole check, as CI runs it: install what is missing, check formatting, build and run every
# test, cross-build for Windows and run the Windows tests under Wine, build and test again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the suites that cancel or scan from other threads
# under ThreadSanitizer, then run each fuzz target for a bounded time (KRZ_FUZZ_SECONDS each, 30 by
# default).
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

echo "== build and test (ThreadSanitizer: cancel and scan from other threads)"
scripts/build.sh tsan
# The suites whose tests cancel a wait or a scan from another thread, or scan while another runs.
# Only those suites are built there; the other programs' tests are listed as not built.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j2 -E '_NOT_BUILT$|^netns\.|^package\.|^tools\.install|^ui\.'

echo "== fuzzing (bounded)"
scripts/build.sh fuzz
seconds=${KRZ_FUZZ_SECONDS:-30}
for target in build/fuzz/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  # New inputs go to a scratch directory; the seed corpus in the tree stays as it is.
  scratch=$(mktemp -d)
  seeds=$(find fuzz -type d -path "*/corpus/${name#fuzz_}" | head -n 1)
  dict=$(find fuzz -name "$name.dict" | head -n 1)
  echo "-- $name for ${seconds}s"
  status=0
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
    ${dict:+-dict="$dict"} "$scratch" ${seeds:+"$seeds"} >"$scratch.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|DONE|ERROR|SUMMARY' "$scratch.log" |
    tail -n 6 || true
  [ "$status" = 0 ] || tail -n 60 "$scratch.log"
  rm -rf "$scratch" "$scratch.log"
  [ "$status" = 0 ] || exit 1
done
echo "All checks passed."
