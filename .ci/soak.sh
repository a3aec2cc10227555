#!/bin/bash
# The soak leg: a short bounded soak of the scan-control extension (the
# driver simulator and 1, 2, then 4 Tcl clients against one block, about
# 20 s in all), in a lean tree of its own (build-soak/: the extension for
# Tcl 8, the driver simulator and vantorq-status, built whole, so that it
# installs as it is).  Fails when an invariant breaks,
# never on speed; the figures it prints are for reading.
#   SOAK_SECONDS   seconds of load in all (default 12)
#   SOAK_CLIENTS   the most clients at once (default 4)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD_DIR:-$root/build-soak}

if [ ! -d /dev/shm ]; then
    echo "soak: /dev/shm is missing, so there is no POSIX shared memory to soak" >&2
    [ -z "${LABTCL_SKIP_REPORT:-}" ] || echo "soak: the scan-control soak (no /dev/shm on this machine)" >>"$LABTCL_SKIP_REPORT"
    exit 0
fi

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TCL9=OFF \
      -DBUILD_CHANNEL_ACCESS=OFF -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >"$build.configure.log" 2>&1 ||
    { tail -n 40 "$build.configure.log" >&2; echo "soak: configuring $build failed" >&2; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" -j2
exec "$root/tests/soak/soak.sh" -b "$build" -c "${SOAK_CLIENTS:-4}" -t "${SOAK_SECONDS:-12}"
