#!/usr/bin/env bash
# Configures and builds one flavour of the tree: build.sh [release|asan|tsan|fuzz].
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
    cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKRZ_SANITIZE=ON -DKRZ_BENCH=OFF \
      "${common[@]}" >/dev/null
    cmake --build build/asan -j"$jobs"
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
    # The whole tree carries the fuzzer's coverage and the sanitizers, so that the library's
    # own code guides each target.
    CXX=clang++-14 CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
      LDFLAGS="-fsanitize=address,undefined" \
      cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRZ_FUZZ=ON \
      -DKRZ_BENCH=OFF -DBUILD_TESTING=OFF "${common[@]}" >/dev/null
    cmake --build build/fuzz -j"$jobs" --target fuzz_targets
    ;;
  *)
    echo "usage: build.sh [release|asan|tsan|fuzz]" >&2
    exit 2
    ;;
esac
