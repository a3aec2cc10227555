#!/bin/bash
# Sets up, builds and runs every test this machine can run, leg by leg (the
# scripts in .ci/), goes on after a failed leg, and ends with a summary: the
# legs that passed, failed, and what was skipped and why.  Exits non-zero
# when any leg failed.
#   tools/run-tests.sh            every leg
#   tools/run-tests.sh --linux    the Linux leg only
#   tools/run-tests.sh LEG...     the named legs (linux windows soak ioc sanitize fuzz)
# The legs: linux (everything the default Linux build makes, with its ctest
# suite: both extensions in both Tcl flavours, the stand-ins, the scan panel,
# and the PV Access tests, label pva: pva_server and EPICS's softIocPVA built
# into the dependency cache by the configure step), windows (the DLLs under
# Wine), soak (the driver simulator and several clients), ioc (the Channel
# Access tests against EPICS's softIoc), sanitize (the linux leg's suite under
# ASan and UBSan, the pva tests included), fuzz (each fuzz target a minute).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

all_legs=(linux windows soak ioc sanitize fuzz)
if [ "${1:-}" = --linux ]; then
    legs=(linux)
elif [ $# -gt 0 ]; then
    legs=("$@")
else
    legs=("${all_legs[@]}")
fi

# Legs append one line per skipped test or group to this file.
LABTCL_SKIP_REPORT=$(mktemp)
export LABTCL_SKIP_REPORT
trap 'rm -f "$LABTCL_SKIP_REPORT"' EXIT

passed=() failed=()
for leg in "${legs[@]}"; do
    script="$root/.ci/$leg.sh"
    if [ ! -f "$script" ]; then
        echo "run-tests: no leg '$leg' (have: ${all_legs[*]})" >&2
        failed+=("$leg")
        continue
    fi
    echo "==================== leg $leg ===================="
    start=$SECONDS
    if bash "$script"; then
        passed+=("$leg ($((SECONDS - start)) s)")
    else
        failed+=("$leg ($((SECONDS - start)) s)")
    fi
done

echo "==================== summary ===================="
[ ${#passed[@]} -gt 0 ] && printf 'PASSED  %s\n' "${passed[@]}"
[ ${#failed[@]} -gt 0 ] && printf 'FAILED  %s\n' "${failed[@]}"
if [ -s "$LABTCL_SKIP_REPORT" ]; then
    echo "!!!!!!!!!!!!!!!!!!!! NOT TESTED ON THIS MACHINE !!!!!!!!!!!!!!!!!!!!"
    sed 's/^/!! SKIPPED  /' "$LABTCL_SKIP_REPORT"
fi
[ ${#failed[@]} -eq 0 ]
