#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds libkelvix and runs every test: first a release build,
# then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

jobs=$(nproc)
build() {  # build <dir> <extra cmake args...>
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== release build and tests"
build build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== ASan+UBSan build and tests"
build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVIX_SANITIZE="address;undefined" \
    -DKELVIX_BUILD_DEBUG_LIB=OFF -DKELVIX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan -j "$jobs" --output-on-failure
