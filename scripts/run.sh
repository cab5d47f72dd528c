#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds libkelvix (release) and runs the quick-start example:
# a simulated camera opened in-process, measured, rendered to a PPM image, recorded and
# replayed. The image and the recording go to build/release/quickstart-output (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

jobs=${KELVIX_JOBS:-$(nproc)}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs" --target quickstart
exec build/release/examples/quickstart/quickstart "${1:-build/release/quickstart-output}"
