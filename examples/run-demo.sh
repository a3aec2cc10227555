#!/bin/bash
# The main job: builds the project, starts the driver simulator and the
# Channel Access server in the background under a namespace of their own,
# runs a whole scan from Tcl, and stops both whatever the outcome.
#   examples/run-demo.sh ?SCANS?
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-demo}

"$root/tools/install-deps.sh"
# A lean tree of its own: the demo runs under Debian's tclsh 8.6, so it needs
# neither the Tcl 9 flavour nor the tests.  Built whole, so that
# `cmake --install` takes it as it is.
echo "Building the extensions and the stand-ins in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TCL9=OFF \
      -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

export VANTORQ_NAMESPACE="demo$$_"
work=$(mktemp -d)
driver_pid= server_pid=
cleanup() {
    [ -n "$driver_pid" ] && kill -TERM "$driver_pid" 2>/dev/null && wait "$driver_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    "$build/tools/driver_sim/driver_sim" --remove-only || true
    rm -rf "$work"
}
trap cleanup EXIT

# Waits for a line matching $2 in file $1 (up to 10 s).
wait_line() {
    for _ in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "run-demo: no '$2' from $(basename "$1" .log); its output:" >&2
    cat "$1" >&2
    return 1
}

"$build/tools/driver_sim/driver_sim" --remove >"$work/driver.log" 2>&1 &
driver_pid=$!
wait_line "$work/driver.log" "driver_sim ready"

"$build/tools/ca_server/ca_server" -p 0 "$root/examples/demo.pvs" >"$work/server.log" 2>&1 &
server_pid=$!
wait_line "$work/server.log" "ca_server ready on"
port=$(sed -n 's/^ca_server ready on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log")
export EPICS_CA_ADDR_LIST="127.0.0.1:$port" EPICS_CA_AUTO_ADDR_LIST=NO

echo "Driver simulator and Channel Access server (port $port) are up."
TCLLIBPATH="$build/vantorq $build/channel_access" tclsh "$root/examples/scan_demo.tcl" "$@" \
    2> >(grep -v -e 'caRepeater' -e '^\*\*\*\*' -e '^$' >&2)
