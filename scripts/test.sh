#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds libkelvix and runs every test: first a release build,
# then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the threaded
# tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

jobs=${KELVIX_JOBS:-$(nproc)}
build() {  # build <dir> <extra cmake args...>
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}
# Sanitizer passes build only what CTest runs: the test programs and the corpus replays.
build_tests() {  # build_tests <dir> <extra cmake args...>
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    local targets
    targets=$(ninja -C "$dir" -t targets all | sed -n 's/^\(test_[A-Za-z0-9_]*\|fuzz_replay_[A-Za-z0-9_]*\): phony$/\1/p')
    # shellcheck disable=SC2086
    cmake --build "$dir" -j "$jobs" --target $targets
}

echo "== release build and tests"
build build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== ASan+UBSan build and tests"
build_tests build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVIX_SANITIZE="address;undefined" \
    -DKELVIX_BUILD_DEBUG_LIB=OFF -DKELVIX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan -j "$jobs" --output-on-failure

echo "== TSan build and threaded tests"
build_tests build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVIX_SANITIZE=thread \
    -DKELVIX_BUILD_DEBUG_LIB=OFF -DKELVIX_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build/tsan -j "$jobs" --output-on-failure -R Threaded
