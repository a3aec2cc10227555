#!/bin/sh
# Whether the 32-bit Windows tests run on this machine, and if not, why:
# the windows leg's decision, kept apart so that tests/ci/wine32.sh can run
# it with a stubbed probe and stubbed apt-get, dpkg and id (on PATH).
#
#   1. Does the kernel run 32-bit x86 code?  Found by running a tiny 32-bit
#      program (assembled with `as --32`, linked with `ld -m elf_i386`: no
#      i386 package needed), not by guessing from Wine.  "Exec format error"
#      means no: the tests are skipped, "kernel refuses 32-bit code", and
#      nothing is installed.
#   2. If it does, wine32:i386 is installed when missing.  `apt-get update`
#      may fail on one index (a mirror in mid-sync) while the others are
#      fine, so the install is tried whatever the update says, and the pair
#      is tried again after a pause, VANTORQ_APT_ATTEMPTS times in all.
#   3. Wine's 32-bit loader must then run (`--version`).
#
# On a kernel that runs 32-bit code, a wine32 that cannot be installed or
# run fails the leg, unless VANTORQ_ALLOW_NO_WIN32=1 (then a loud skip with
# the same reason).  VANTORQ_REQUIRE_WIN32=1 turns every skip into a
# failure (it wins over VANTORQ_ALLOW_NO_WIN32).
#
# usage: wine32.sh WORKDIR        decide; WORKDIR holds the probe program
#        wine32.sh --probe WORKDIR   the kernel probe alone
# Prints one line on standard output:
#   run                 install done or not needed, the 32-bit tests run
#   skip REASON         they are skipped, and why
#   fail REASON         the leg must fail, and why
# (--probe: "runs", "refuses DETAIL" or "unknown DETAIL".)  What it does
# and APT's output go to standard error.  Exits 0 when it has decided, 2 on
# misuse.
#
# Environment (besides the two above):
#   VANTORQ_PROBE_32BIT     a command to run in place of the tiny 32-bit
#                           program: exit 0 = it ran (for tests)
#   VANTORQ_WINE32_LOADER   Wine's 32-bit loader (/usr/lib/wine/wine)
#   VANTORQ_APT_ATTEMPTS    tries of update and install (3)
#   VANTORQ_APT_PAUSE       seconds between tries (30)
set -u

note() { echo "== wine32: $*" >&2; }
usage() { echo "usage: wine32.sh [--probe] WORKDIR" >&2; exit 2; }

probe_only=0
if [ "${1:-}" = --probe ]; then probe_only=1; shift; fi
[ $# -eq 1 ] || usage
work=$1
loader=${VANTORQ_WINE32_LOADER:-/usr/lib/wine/wine}
attempts=${VANTORQ_APT_ATTEMPTS:-3}
pause=${VANTORQ_APT_PAUSE:-30}

# The lines of a command's output, one line (for a reason).
one_line() { sed -e 's/[[:space:]]*$//' -e '/^$/d' | paste -sd ';' - | sed 's/;/; /g'; }

# ---- the kernel probe: prints "runs", "refuses DETAIL" or "unknown DETAIL" ----
probe() {
    if [ -n "${VANTORQ_PROBE_32BIT:-}" ]; then
        what="$VANTORQ_PROBE_32BIT"
        out=$($VANTORQ_PROBE_32BIT 2>&1) && { echo runs; return; }
    else
        what="a 32-bit x86 program made with as --32 and ld -m elf_i386"
        dir="$work/probe-x86-32"
        mkdir -p "$dir" || { echo "unknown cannot make $dir"; return; }
        # shellcheck disable=SC2016
        printf '%s\n' '        .globl _start' '_start:' \
            '        movl $1, %eax       # exit(0)' '        xorl %ebx, %ebx' '        int $0x80' >"$dir/exit0.s"
        if ! out=$({ as --32 -o "$dir/exit0.o" "$dir/exit0.s" &&
                     ld -m elf_i386 -o "$dir/exit0" "$dir/exit0.o"; } 2>&1); then
            echo "unknown making $what failed: $(echo "$out" | one_line)"
            return
        fi
        out=$("$dir/exit0" 2>&1) && { echo runs; return; }
    fi
    case $out in
        *"Exec format error"*) echo "refuses $what: Exec format error" ;;
        *) echo "unknown $what failed: $(echo "$out" | one_line)" ;;
    esac
}

if [ $probe_only = 1 ]; then probe; exit 0; fi

# ---- the verdict: every path ends here ----
require=${VANTORQ_REQUIRE_WIN32:-0}
allow=${VANTORQ_ALLOW_NO_WIN32:-0}
# A reason the kernel gives: skip, unless the 32-bit tests are required.
skip_unless_required() {
    if [ "$require" = 1 ]; then echo "fail $1 (VANTORQ_REQUIRE_WIN32=1)"; else echo "skip $1"; fi
    exit 0
}
# A reason on a kernel that runs 32-bit code: fail, unless allowed.
fail_unless_allowed() {
    if [ "$require" != 1 ] && [ "$allow" = 1 ]; then
        echo "skip $1 (VANTORQ_ALLOW_NO_WIN32=1)"
    else
        echo "fail $1"
    fi
    exit 0
}

kernel=$(probe)
note "kernel probe: $kernel"
case $kernel in
    runs) ;;
    refuses\ *) skip_unless_required "kernel refuses 32-bit code (${kernel#refuses })" ;;
    *) fail_unless_allowed "cannot tell whether the kernel runs 32-bit code (${kernel#unknown })" ;;
esac

# ---- wine32:i386 ----
installed() { dpkg -s wine32:i386 >/dev/null 2>&1; }
# The error lines of APT's output ("E: ..."), one line.
apt_errors() { grep -E '^E: ' "$1" | one_line; }

if ! installed; then
    [ "$(id -u)" = 0 ] || fail_unless_allowed "wine32 could not be installed: wine32:i386 is missing and this is not root (install it, or run as root)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        out=$(dpkg --add-architecture i386 2>&1) ||
            fail_unless_allowed "wine32 could not be installed: dpkg --add-architecture i386: $(echo "$out" | one_line)"
    fi
    export DEBIAN_FRONTEND=noninteractive
    mkdir -p "$work"
    log="$work/apt-wine32.log"
    try=1
    while :; do
        note "installing wine32:i386 (try $try of $attempts)"
        updated=""
        if ! apt-get -o DPkg::Lock::Timeout=600 update -q >"$log" 2>&1; then
            cat "$log" >&2
            updated=$(apt_errors "$log")
            note "apt-get update failed on some index (above): installing from what it has"
        fi
        if apt-get -o DPkg::Lock::Timeout=600 install -y -q wine32:i386 >"$log" 2>&1; then
            cat "$log" >&2
            break
        fi
        cat "$log" >&2
        why=$(apt_errors "$log")
        [ -n "$why" ] || why=$(tail -n 3 "$log" | one_line)
        [ -z "$updated" ] || why="$why (after apt-get update failed: $updated)"
        if [ "$try" -ge "$attempts" ]; then
            fail_unless_allowed "wine32 could not be installed: $why"
        fi
        note "installing wine32:i386 failed ($why); trying again in $pause s"
        sleep "$pause"
        try=$((try + 1))
    done
    installed || fail_unless_allowed "wine32 could not be installed: APT reported success, but dpkg does not list wine32:i386"
fi

# ---- Wine's 32-bit loader ----
if ! out=$("$loader" --version 2>&1); then
    fail_unless_allowed "Wine's 32-bit loader does not run although the kernel runs 32-bit code ($loader --version: $(echo "$out" | one_line))"
fi
note "Wine's 32-bit loader runs: $out"
echo run
