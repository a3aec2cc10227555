#!/bin/sh
# Runs the scan-control benchmarks: run.sh BUILD_DIR
set -e
build=${1:?usage: run.sh BUILD_DIR}
here=$(dirname "$0")
out=$("$build/bench/scan_control/process_command_bench" --benchmark_min_time=0.2)
echo "$out" | grep -v '^PROCESS_COMMAND_READBACK_NS'
ns=$(echo "$out" | sed -n 's/^PROCESS_COMMAND_READBACK_NS //p')
echo
tclsh "$here/laser_control_bench.tcl" "$build/vantorq" "$ns"
