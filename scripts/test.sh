#!/usr/bin/env bash
# The whole check, as CI runs it: install what is missing, check formatting, build and run every
# test, cross-build for Windows and run the Windows tests under Wine, build and test again under
# AddressSanitizer and UndefinedBehaviorSanitizer (with clang, in the tree that also holds the fuzz
# targets), the suites that cancel or scan from other threads under ThreadSanitizer, then run each
# fuzz target for a bounded time (KRZ_FUZZ_SECONDS each, 10 by default).
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
# Left out there: scenarios that run again code the sanitized suites already drive (the bed's
# system backend through netns.bed_e2e, the page's server through UiSecurityTest, the description
# module through its own suites and every family end to end), each one end to end a second time:
# among them the command and library suites run once more through the description module
# (descriptions.*).
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j2 \
  -E '^(ui\.browser_flow|netns\.(bed_e2e_descriptions|round_trip|playback)|descriptions\..*)$'

echo "== build and test (ThreadSanitizer: cancel and scan from other threads)"
scripts/build.sh tsan
# The suites whose tests cancel a wait or a scan from another thread, or scan while another runs.
# Only those suites are built there; the other programs' tests are listed as not built.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j2 -E '_NOT_BUILT$|^netns\.|^package\.|^tools\.install|^ui\.|^har\.|^ansible\.'

echo "== fuzzing (bounded), the targets of the sanitized build"
# Two targets at a time, one per core; each prints its summary in one piece when it ends.
fuzz_one() {
  local target=$1 name scratch seeds dict status=0 report
  name=$(basename "$target")
  # New inputs go to a scratch directory; the seed corpus in the tree stays as it is.
  scratch=$(mktemp -d)
  seeds=$(find fuzz -type d -path "*/corpus/${name#fuzz_}" | head -n 1)
  dict=$(find fuzz -name "$name.dict" | head -n 1)
  "$target" -max_total_time="$KRZ_FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
    ${dict:+-dict="$dict"} "$scratch" ${seeds:+"$seeds"} >"$scratch.log" 2>&1 || status=$?
  report="-- $name for ${KRZ_FUZZ_SECONDS}s"$'\n'
  report+=$(grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|DONE|ERROR|SUMMARY' "$scratch.log" |
    tail -n 6 || true)
  [ "$status" = 0 ] || report+=$'\n'$(tail -n 60 "$scratch.log")
  printf '%s\n' "$report"
  rm -rf "$scratch" "$scratch.log"
  return "$status"
}
export -f fuzz_one
export KRZ_FUZZ_SECONDS=${KRZ_FUZZ_SECONDS:-10}
find build/asan/bin -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x -print0 | sort -z |
  xargs -0 -r -n 1 -P 2 bash -c 'fuzz_one "$1"' fuzz_one
echo "All checks passed."
