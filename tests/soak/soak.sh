#!/bin/bash
# A bounded soak of the scan-control extension: the driver simulator and Tcl
# clients issuing a mix of LaserControl commands (settings, reads, run
# requests, SET_DAC, CHANNEL, RESET_QUEUE, scaler enables) against one block,
# first with 1 client, then 2, then 4 (doubling up to N).  It fails when an
# invariant breaks, never on speed:
#   - every command took at most 11 s, and no control-lock wait timed out;
#   - each client's replies were what its command allows, and every
#     READ_NEW_SETTINGS reply was consistent: ramp end = (channels - 1) x step
#     in 16 bits, and its millivolts are the converter's for that count;
#   - afterwards the control lock and the state lock are back at 1, the
#     driver stopped cleanly and reported nothing, and no name of the
#     soak's namespace is left.
# It prints the commands per second of each phase.
#
#   tests/soak/soak.sh [-b BUILD_DIR] [-c CLIENTS] [-t SECONDS]
#     -b  the CMake build tree (default: build/ of this checkout)
#     -c  the most clients at once (default 4)
#     -t  seconds of load in all, shared by the phases (default 120)
# Exit status: 0 held, 1 an invariant broke, 2 bad usage or missing pieces.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/soak
build=$root/build
clients=4
seconds=120

usage() {
    sed -n '/^#   tests\/soak/,/^# Exit status/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while getopts b:c:t:h opt; do
    case $opt in
    b) build=$OPTARG ;;
    c) clients=$OPTARG ;;
    t) seconds=$OPTARG ;;
    *) usage ;;
    esac
done
case $clients in '' | *[!0-9]* | 0) echo "soak: -c wants a number of clients, 1 or more, not '$clients'" >&2; exit 2 ;; esac
case $seconds in '' | *[!0-9]* | 0) echo "soak: -t wants whole seconds, 1 or more, not '$seconds'" >&2; exit 2 ;; esac
build=$(cd "$build" 2>/dev/null && pwd) || { echo "soak: no build tree at $build" >&2; exit 2; }

pkgdir=$build/vantorq
driver_sim=$build/tools/driver_sim/driver_sim
status_tool=$build/scan_control/vantorq-status
tclsh=$(command -v tclsh8.6 || command -v tclsh || true)
for need in "$pkgdir/pkgIndex.tcl" "$driver_sim" "$status_tool"; do
    [ -e "$need" ] || { echo "soak: $need is missing: build the tree first (cmake --build $build)" >&2; exit 2; }
done
[ -n "$tclsh" ] || { echo "soak: no tclsh found (install the tcl package)" >&2; exit 2; }
[ -d /dev/shm ] || { echo "soak: /dev/shm is missing: no POSIX shared memory here" >&2; exit 2; }

# The phases: 1, 2, 4, ... clients up to the most, and the most itself.
phases=()
for ((k = 1; k < clients; k *= 2)); do phases+=("$k"); done
phases+=("$clients")
phase_ms=$((seconds * 1000 / ${#phases[@]}))
[ "$phase_ms" -ge 1000 ] || phase_ms=1000

export VANTORQ_NAMESPACE="soak$$_"
ns=$VANTORQ_NAMESPACE
work=$(mktemp -d "${TMPDIR:-/tmp}/vantorq-soak.XXXXXX")
driver_pid=
client_pids=()

names_left() {
    find /dev/shm -maxdepth 1 \( -name "${ns}*" -o -name "sem.${ns}*" \) -printf '%f\n' 2>/dev/null || true
}

# Every process this soak started is ended by its pid, and every name of the
# namespace removed, whatever happened before.
cleanup() {
    local pid
    for pid in "${client_pids[@]}" $driver_pid; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    "$driver_sim" --remove-only 2>/dev/null || true
    names_left | while read -r name; do rm -f "/dev/shm/$name"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

broken=()
fail() { broken+=("$*"); echo "soak: BROKEN: $*" >&2; }
now_ms() { date +%s%3N; }

# ---- the driver, and settings every client starts from ----------------------
"$driver_sim" -q >"$work/driver.out" 2>"$work/driver.err" &
driver_pid=$!
for _ in $(seq 100); do
    grep -q 'driver_sim ready' "$work/driver.out" 2>/dev/null && break
    kill -0 "$driver_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q 'driver_sim ready' "$work/driver.out" ||
    { cat "$work/driver.err" >&2; echo "soak: the driver simulator did not start" >&2; exit 2; }
cat >"$work/setup.tcl" <<EOF
lappend auto_path [list $pkgdir]
package require Vantorq 1.0
foreach c {{NUM_CHANS 10} {DAC_STEP 100} {DWELL_TIME 100} {SETTLE_TIME 0}} { LaserControl \$c }
EOF
"$tclsh" "$work/setup.tcl" || { echo "soak: setting up the block failed" >&2; exit 2; }

echo "soak: namespace $ns, driver simulator pid $driver_pid, phases of ${phases[*]} clients, $((phase_ms / 1000)) s each"

# ---- the phases -----------------------------------------------------------------
max_us=0
max_command=
for k in "${phases[@]}"; do
    start=$(($(now_ms) + 1000))   # every client attached before the start
    stop=$((start + phase_ms))
    client_pids=()
    for ((i = 1; i <= k; i++)); do
        base=$work/p$k.c$i
        "$tclsh" "$here/client.tcl" run "$pkgdir" "$base.result" "$start" "$stop" "$((k * 100 + i))" \
            >"$base.out" 2>"$base.err" &
        client_pids+=($!)
    done
    # A command may take 11 s at the very most; give the clients that and
    # more before calling them hung.
    deadline=$((stop + 30000))
    for ((i = 1; i <= k; i++)); do
        pid=${client_pids[i - 1]}
        while kill -0 "$pid" 2>/dev/null && [ "$(now_ms)" -lt "$deadline" ]; do sleep 0.2; done
        if kill -0 "$pid" 2>/dev/null; then
            fail "phase $k, client $i still running 30 s after the stop: a command hangs (see vantorq-status below)"
            "$status_tool" >&2 || true
            kill -KILL "$pid" 2>/dev/null || true
        fi
        code=0
        wait "$pid" || code=$?
        base=$work/p$k.c$i
        if [ "$code" -ne 0 ] || [ ! -s "$base.result" ]; then
            fail "phase $k, client $i ended with exit status $code: $(tail -n 3 "$base.err" "$base.out" | tr '\n' ' ')"
        fi
    done
    client_pids=()

    total=0 failed=0
    for ((i = 1; i <= k; i++)); do
        result=$work/p$k.c$i.result
        [ -s "$result" ] || continue
        total=$((total + $(awk '$1 == "commands" { print $2 }' "$result")))
        failed=$((failed + $(awk '$1 == "failed" { print $2 }' "$result")))
        us=$(awk '$1 == "max_us" { print $2 }' "$result")
        if [ "$us" -gt "$max_us" ]; then
            max_us=$us
            max_command=$(sed -n 's/^max_command //p' "$result")
        fi
        violations=$(awk '$1 == "violations" { print $2 }' "$result")
        if [ "$violations" -ne 0 ]; then
            fail "phase $k, client $i: $violations replies broke an invariant; the first:"
            sed -n 's/^violation /    /p' "$result" >&2
        fi
    done
    rate=$((total * 1000 / phase_ms))
    printf 'soak: %d client(s): %9d commands/s (%d commands in %d ms, %d refused as the mix intends)\n' \
        "$k" "$rate" "$total" "$phase_ms" "$failed"
    # A broken phase leaves the block as it broke it: the next phases would
    # only repeat the failure.
    [ ${#broken[@]} -eq 0 ] || break
done

# ---- afterwards ---------------------------------------------------------------
printf 'soak: longest command %d us (%s)\n' "$max_us" "$max_command"
[ "$max_us" -le 11000000 ] || fail "a command took $max_us us, more than 11 s: $max_command"
timeouts=$(cat "$work"/p*.out | grep -c '^Error 110 ' || true)
[ "$timeouts" -eq 0 ] || fail "$timeouts control-lock waits timed out (\"Error 110\" lines from the clients)"

kill -TERM "$driver_pid"
code=0
wait "$driver_pid" || code=$?
driver_pid=
[ "$code" -eq 0 ] || fail "the driver simulator ended with exit status $code"
if [ -s "$work/driver.err" ]; then
    fail "the driver simulator reported:"
    head -n 10 "$work/driver.err" >&2
fi

# The locks, read without taking them, with every client and the driver gone.
"$status_tool" >"$work/status.out" 2>&1 || true
for lock in /Ctrl_Sem /State_Sem; do
    count=$(awk -v name="$lock" '$1 == name && $2 == "semaphore" { print $3 }' "$work/status.out")
    [ "$count" = 1/1 ] || fail "$lock reads '${count:-nothing}' after the soak, want 1/1"
done
[ ${#broken[@]} -eq 0 ] || cat "$work/status.out" >&2

"$tclsh" "$here/client.tcl" final "$pkgdir" "$work/final.result" >/dev/null 2>"$work/final.err" ||
    fail "the final read-back failed: $(cat "$work/final.err")"
if [ -s "$work/final.result" ] && [ "$(awk '$1 == "violations" { print $2 }' "$work/final.result")" -ne 0 ]; then
    fail "the settings after the soak:"
    sed -n 's/^violation /    /p' "$work/final.result" >&2
fi

"$driver_sim" --remove-only
left=$(names_left)
[ -z "$left" ] || fail "names left behind in /dev/shm: $(echo "$left" | tr '\n' ' ')"

if [ ${#broken[@]} -ne 0 ]; then
    echo "soak: FAILED, ${#broken[@]} invariant(s) broken" >&2
    exit 1
fi
echo "soak: every invariant held"
