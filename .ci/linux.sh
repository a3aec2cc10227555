#!/bin/bash
# The Linux leg: both extensions, the stand-ins and their tests (GoogleTest,
# tcltest, the Channel Access server's Python tests), in $BUILD_DIR (build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
cd "$build" && ctest --output-on-failure -j2 -LE bench
