# Sourced by the legs that run Channel Access tests: starts the project's
# caRepeater for the leg (so that no client prints libca's notice of a
# missing repeater and every client hears servers' beacons) and stops it
# when the leg ends.  A repeater already running on the port keeps serving,
# and ours ends at once by itself.
#
#   start_repeater PROGRAM
start_repeater() {
    [ -x "$1" ] || { echo "!! no caRepeater at $1: the tests run without one" >&2; return 0; }
    # Detached from the leg's output: a repeater holding a pipe open would
    # keep whoever reads it waiting.
    "$1" </dev/null >/dev/null 2>&1 &
    LABTCL_REPEATER_PID=$!
    trap 'kill "$LABTCL_REPEATER_PID" 2>/dev/null || true' EXIT
}
