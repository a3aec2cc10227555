#!/bin/sh
# Runs a command on a headless X display of its own: Xvfb picks a free
# display number (-displayfd), so that runs side by side never meet, and is
# stopped when the command ends.  The sanitizer runtime that the sanitize
# leg preloads (LD_PRELOAD) goes to the command alone: Xvfb and the tools
# used here are not ours to check, and their leaks at exit would fail them.
#   xvfb.sh COMMAND ARG...      (exits with the command's status)
set -u
preload=${LD_PRELOAD:-}
unset LD_PRELOAD
fail() { echo "xvfb.sh: $*" >&2; exit 1; }
command -v Xvfb >/dev/null || fail "Xvfb not found: install Debian's xvfb (tools/install-deps.sh does)"
command -v "$1" >/dev/null || fail "$1 not found: install Debian's tk (tools/install-deps.sh does)"

dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb=$!
stop() {
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -rf "$dir"
}
display=
for _ in $(seq 100); do
    display=$(cat "$dir/display")
    [ -n "$display" ] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$display" ]; then
    echo "xvfb.sh: Xvfb gave no display within 10 s; its output:" >&2
    cat "$dir/xvfb.log" >&2
    stop
    exit 1
fi

status=0
if [ -n "$preload" ]; then
    DISPLAY=":$display" LD_PRELOAD="$preload" "$@" || status=$?
else
    DISPLAY=":$display" "$@" || status=$?
fi
stop
exit $status
