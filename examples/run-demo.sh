#!/bin/bash
# The main job: builds the project, starts the Channel Access repeater, the
# driver simulator and the Channel Access server in the background (the
# driver under a namespace of its own), runs a whole scan from Tcl, and
# stops what it started whatever the outcome.
#   examples/run-demo.sh ?SCANS?
#   examples/run-demo.sh --panel   the live scan panel (Tk) instead, with the
#                                  detector stand-in; until its window is closed
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-demo}
panel=0
if [ "${1:-}" = --panel ]; then
    panel=1
    shift
    if [ -z "${DISPLAY:-}" ]; then
        echo "run-demo: --panel needs an X display and DISPLAY is not set: run it on a desktop, or through ssh -X" >&2
        exit 2
    fi
fi

"$root/tools/install-deps.sh"
# A lean tree of its own: the demo runs under Debian's tclsh 8.6 and speaks
# Channel Access only, so it needs neither the Tcl 9 flavour, nor PV Access
# (whose first build takes minutes), nor the tests.  Built whole, so that
# `cmake --install` takes it as it is.
echo "Building the extensions and the stand-ins in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TCL9=OFF -DTESSALY_PVA=OFF \
      -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

export VANTORQ_NAMESPACE="demo$$_"
work=$(mktemp -d)
driver_pid= server_pid= detector_pid= LABTCL_REPEATER_PID=
cleanup() {
    [ -n "$detector_pid" ] && kill -TERM "$detector_pid" 2>/dev/null && wait "$detector_pid" 2>/dev/null || true
    [ -n "$driver_pid" ] && kill -TERM "$driver_pid" 2>/dev/null && wait "$driver_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    [ -n "$LABTCL_REPEATER_PID" ] && kill -TERM "$LABTCL_REPEATER_PID" 2>/dev/null && wait "$LABTCL_REPEATER_PID" 2>/dev/null || true
    "$build/tools/driver_sim/driver_sim" --remove-only || true
    rm -rf "$work"
}

# The build's Channel Access repeater, first, so that every client finds it
# (and none prints libca's notice of a missing one) and hears the server's
# beacons.  One that already runs on this host keeps serving: ours then
# ends at once by itself.  (start_repeater sets a trap of its own: ours,
# set after it, stops the repeater too.)
. "$root/.ci/lib/repeater.sh"
start_repeater "$build/channel_access/caRepeater"
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
export TCLLIBPATH="$build/vantorq $build/channel_access"
# libca's notices about a missing caRepeater, should the repeater have
# failed to start, are left out.
quiet() { grep -v -e 'caRepeater' -e '^\*\*\*\*' -e '^$' >&2; }
if [ $panel -eq 0 ]; then
    tclsh "$root/examples/scan_demo.tcl" "$@" 2> >(quiet)
    exit
fi

tclsh "$root/examples/detector.tcl" >"$work/detector.log" 2>&1 &
detector_pid=$!
wait_line "$work/detector.log" "detector ready"
echo "Detector stand-in is up; the scan panel runs until its window is closed."
# 40 channels of 0.1 s: a scan in 4 s.
wish "$root/examples/scan_panel.tcl" \
    -settings "NUM_CHANS 40 DAC_STEP 400 DWELL_TIME 100000 SETTLE_TIME 500" "$@" \
    2> >(quiet)
