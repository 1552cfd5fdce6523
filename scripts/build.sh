#!/usr/bin/env bash
# Configures and builds one flavour of the tree: build.sh [release|asan|tsan|fuzz] (fuzz: the
# sanitized build, which holds the fuzz targets too).
# A compiler launcher (ccache) is used when KRZ_LAUNCHER names one, or when ccache is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
jobs=$(nproc)
launcher=${KRZ_LAUNCHER:-$(command -v ccache || true)}
common=(-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher")

# What the ThreadSanitizer build needs: the tests that cancel or scan from other threads, and
# what they load at run time.
tsan_targets=(http_transport_tests webconf_tests discovery_scandriver_tests
              discovery_finder_tests e2e_library_tests e2e_service_tests modules_e2e_tests
              krzpapmodulesu krzpapdescriptions)

case "$flavour" in
  release)
    cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo "${common[@]}" >/dev/null
    cmake --build build/release -j"$jobs"
    ;;
  asan)
    # Built with clang so that the same tree also carries the fuzzer's coverage
    # (-fsanitize=fuzzer-no-link) and builds the fuzz targets: one sanitized build serves both the
    # tests and the fuzzing, instead of building the libraries twice.
    CXX=clang++-14 CXXFLAGS="-O1 -fsanitize=fuzzer-no-link" \
      cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKRZ_SANITIZE=ON -DKRZ_FUZZ=ON \
      -DKRZ_BENCH=OFF "${common[@]}" >/dev/null
    cmake --build build/asan -j"$jobs"
    cmake --build build/asan -j"$jobs" --target fuzz_targets
    ;;
  tsan)
    CXXFLAGS="-fsanitize=thread -O1 -g" LDFLAGS="-fsanitize=thread" \
      cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKRZ_BENCH=OFF "${common[@]}" >/dev/null
    if cmake --build build/tsan --target help | grep -q '^\.\.\. TqvRes$'; then
      tsan_targets+=(TqvRes)
    fi
    cmake --build build/tsan -j"$jobs" --target "${tsan_targets[@]}"
    ;;
  fuzz)
    # The fuzz targets come from the sanitized build (see asan above).
    exec "$0" asan
    ;;
  *)
    echo "usage: build.sh [release|asan|tsan|fuzz]" >&2
    exit 2
    ;;
esac
