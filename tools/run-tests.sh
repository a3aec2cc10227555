#!/bin/bash
# Sets up, builds and runs every test: the Linux build (both extensions,
# the stand-ins and their tests) and the Windows DLLs under Wine.
#   tools/run-tests.sh            everything
#   tools/run-tests.sh --linux    the Linux build only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j2 -LE bench)

if [ "${1:-}" != "--linux" ]; then
    bash "$root/.ci/windows.sh"
fi
