#!/bin/bash
# The Linux leg: both extensions, the stand-ins and their tests (GoogleTest,
# tcltest, the Channel Access server's Python tests), in $BUILD_DIR (build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
# Every part on, whatever an earlier configure of this tree left in its cache.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=ON -DBUILD_CHANNEL_ACCESS=ON -DBUILD_TCL9=ON
cmake --build "$build" -j"$(nproc)"
. "$root/.ci/lib/repeater.sh"
start_repeater "$build/channel_access/caRepeater"
cd "$build" && ctest --output-on-failure -j2 -LE bench
