#!/bin/sh
# The windows leg's decision about its 32-bit tests (.ci/lib/wine32.sh), run
# with a stubbed kernel probe (VANTORQ_PROBE_32BIT), a stubbed Wine loader
# and stubbed apt-get, dpkg and id on PATH: for each machine, the verdict
# and its reason, and what was asked of APT.  Then the real probe, which
# must come to a conclusion on this machine.  .ci/windows.sh runs it first;
# by hand: sh tests/ci/wine32.sh
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
decide=$root/.ci/lib/wine32.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bin=$tmp/bin
mkdir -p "$bin"

# ---- stubs: each reads the machine it plays from $STUB and logs its calls
# to $STUB/calls.  $STUB holds:
#   installed       wine32:i386 is installed (a successful install makes it)
#   foreign         what dpkg --print-foreign-architectures prints
#   update-fails    apt-get update fails on the i386 security index
#   install-fails   how many installs fail from now on (a number, or "all")
#   uid             what id -u prints (0 when missing)
cat >"$bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$STUB/calls"
case " $* " in
*" update "*)
    echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
    [ -f "$STUB/update-fails" ] || exit 0
    echo "Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (61448 != 61936). Mirror sync in progress? [IP: 151.101.2.132 80]"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (61448 != 61936). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
*" install "*)
    echo "Reading package lists..."
    left=$(cat "$STUB/install-fails" 2>/dev/null || echo 0)
    if [ "$left" = all ] || [ "$left" -gt 0 ]; then
        [ "$left" = all ] || echo $((left - 1)) >"$STUB/install-fails"
        echo "E: Unable to locate package wine32:i386" >&2
        exit 100
    fi
    echo "Setting up wine32:i386 (8.0~repack-4) ..."
    touch "$STUB/installed"
    exit 0 ;;
esac
echo "apt-get stub: unexpected call: $*" >&2
exit 1
EOF
cat >"$bin/dpkg" <<'EOF'
#!/bin/sh
echo "dpkg $*" >>"$STUB/calls"
case $1 in
    -s) [ "$2" = wine32:i386 ] && [ -f "$STUB/installed" ] ;;
    --print-foreign-architectures) cat "$STUB/foreign" 2>/dev/null; exit 0 ;;
    --add-architecture) echo "$2" >>"$STUB/foreign" ;;
    *) echo "dpkg stub: unexpected call: $*" >&2; exit 1 ;;
esac
EOF
cat >"$bin/id" <<'EOF'
#!/bin/sh
[ "$1" = -u ] && { cat "$STUB/uid" 2>/dev/null || echo 0; }
EOF
# The probe as a kernel would answer it, and Wine's 32-bit loader.
printf '#!/bin/sh\nexit 0\n' >"$bin/probe-runs"
printf '#!/bin/sh\necho "sh: 1: ./exit0: Exec format error" >&2\nexit 126\n' >"$bin/probe-refuses"
printf '#!/bin/sh\necho "sh: 1: ./exit0: Permission denied" >&2\nexit 126\n' >"$bin/probe-denied"
cat >"$bin/wine-runs" <<'EOF'
#!/bin/sh
[ -f "$STUB/installed" ] || { echo "sh: 1: /usr/lib/wine/wine: not found" >&2; exit 127; }
echo "wine-8.0 (Debian 8.0~repack-4)"
EOF
printf '#!/bin/sh\necho "wine: could not load kernel32.dll, status c0000135" >&2\nexit 1\n' >"$bin/wine-broken"
chmod +x "$bin"/*

# ---- running the decision on one machine ----
n=0
machine() {   # machine SETUP...: a fresh $STUB, with the files named made
    n=$((n + 1))
    STUB=$tmp/machine$n
    mkdir -p "$STUB"
    : >"$STUB/calls"
    for f in "$@"; do
        case $f in
            *=*) echo "${f#*=}" >"$STUB/${f%%=*}" ;;
            *) : >"$STUB/$f" ;;
        esac
    done
}
verdict=
decide() {    # decide PROBE [VAR=VALUE...]: sets $verdict
    probe=$1
    shift
    verdict=$(env -u VANTORQ_REQUIRE_WIN32 -u VANTORQ_ALLOW_NO_WIN32 -u VANTORQ_APT_ATTEMPTS PATH="$bin:$PATH" STUB="$STUB" \
                  VANTORQ_PROBE_32BIT="$bin/$probe" VANTORQ_WINE32_LOADER="$bin/wine-runs" \
                  VANTORQ_APT_PAUSE=0 "$@" sh "$decide" "$STUB/work" 2>"$STUB/stderr")
    status=$?
    [ $status -eq 0 ] || verdict="(exit status $status) $verdict"
}
apt_calls() { grep -E '^(apt-get|dpkg --add)' "$STUB/calls" | sed 's/-o DPkg::Lock::Timeout=600 //' | paste -sd '|' -; }

passed=0 failed=0
check() {     # check WHAT EXPECTED ACTUAL: equal, or EXPECTED's start when it ends with *
    case $2 in
        *\*) [ "${3#"${2%\*}"}" != "$3" ] || [ -z "${2%\*}" ] ;;
        *) [ "$2" = "$3" ] ;;
    esac && { passed=$((passed + 1)); return; }
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %s\n  got:      %s\n  the decision'"'"'s standard error:\n' "$1" "$2" "$3"
    sed 's/^/    /' "$STUB/stderr"
}
mirror='E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (61448 != 61936). Mirror sync in progress? [IP: 151.101.2.132 80]; E: Some index files failed to download. They have been ignored, or old ones used instead.'
no_wine32="wine32 could not be installed: E: Unable to locate package wine32:i386 (after apt-get update failed: $mirror)"
try="apt-get update -q|apt-get install -y -q wine32:i386"

# ---- a kernel that refuses 32-bit code: skipped for that reason, nothing installed ----
machine
decide probe-refuses
check "refusing kernel: skip" "skip kernel refuses 32-bit code ($bin/probe-refuses: Exec format error)" "$verdict"
check "refusing kernel: APT left alone" "" "$(apt_calls)"
machine
decide probe-refuses VANTORQ_ALLOW_NO_WIN32=1
check "refusing kernel, allowed: skip" "skip kernel refuses 32-bit code ($bin/probe-refuses: Exec format error)" "$verdict"
machine
decide probe-refuses VANTORQ_REQUIRE_WIN32=1
check "refusing kernel, required: fail" \
    "fail kernel refuses 32-bit code ($bin/probe-refuses: Exec format error) (VANTORQ_REQUIRE_WIN32=1)" "$verdict"

# ---- a kernel that runs 32-bit code ----
machine installed
decide probe-runs
check "wine32 there: run" "run" "$verdict"
check "wine32 there: APT left alone" "" "$(apt_calls)"

machine update-fails
decide probe-runs
check "update failing on the i386 index, wine32 installs: run" "run" "$verdict"
check "update failing on the i386 index: installed all the same" \
    "dpkg --add-architecture i386|$try" "$(apt_calls)"

machine foreign=i386 update-fails install-fails=1
decide probe-runs
check "wine32 installs at the second try: run" "run" "$verdict"
check "wine32 installs at the second try: tried twice" "$try|$try" "$(apt_calls)"

machine foreign=i386 update-fails install-fails=all
decide probe-runs
check "wine32 not installable: fail with APT's message" "fail $no_wine32" "$verdict"
check "wine32 not installable: three tries" "$try|$try|$try" "$(apt_calls)"
machine foreign=i386 update-fails install-fails=all
decide probe-runs VANTORQ_ALLOW_NO_WIN32=1 VANTORQ_APT_ATTEMPTS=1
check "wine32 not installable, allowed: skip with APT's message" \
    "skip $no_wine32 (VANTORQ_ALLOW_NO_WIN32=1)" "$verdict"
machine foreign=i386 update-fails install-fails=all
decide probe-runs VANTORQ_ALLOW_NO_WIN32=1 VANTORQ_REQUIRE_WIN32=1 VANTORQ_APT_ATTEMPTS=1
check "wine32 not installable, allowed but required: fail" "fail $no_wine32" "$verdict"
machine foreign=i386 install-fails=all
decide probe-runs VANTORQ_APT_ATTEMPTS=1
check "wine32 not installable, the update fine: APT's message alone" \
    "fail wine32 could not be installed: E: Unable to locate package wine32:i386" "$verdict"

machine uid=1000
decide probe-runs
check "wine32 missing, not root: fail" \
    "fail wine32 could not be installed: wine32:i386 is missing and this is not root (install it, or run as root)" "$verdict"
check "wine32 missing, not root: APT left alone" "" "$(apt_calls)"

machine installed
decide probe-runs VANTORQ_WINE32_LOADER="$bin/wine-broken"
check "wine32 there but its loader fails: fail" \
    "fail Wine's 32-bit loader does not run although the kernel runs 32-bit code ($bin/wine-broken --version: wine: could not load kernel32.dll, status c0000135)" \
    "$verdict"

# ---- a probe that tells nothing: never taken for a refusing kernel ----
machine installed
decide probe-denied
check "probe failing otherwise: fail" \
    "fail cannot tell whether the kernel runs 32-bit code ($bin/probe-denied failed: sh: 1: ./exit0: Permission denied)" "$verdict"
machine installed
decide probe-denied VANTORQ_ALLOW_NO_WIN32=1
check "probe failing otherwise, allowed: skip" "skip cannot tell whether the kernel runs 32-bit code*" "$verdict"

# ---- the real probe (as --32, ld -m elf_i386) concludes here ----
STUB=$tmp
probed=$(env -u VANTORQ_PROBE_32BIT sh "$decide" --probe "$tmp/real" 2>"$STUB/stderr")
case $probed in
    runs|"refuses a 32-bit x86 program made with as --32 and ld -m elf_i386: Exec format error")
        passed=$((passed + 1)) ;;
    *) check "the real probe concludes" "runs, or refuses ...: Exec format error" "$probed" ;;
esac

echo "wine32 decision: $passed checks passed, $failed failed (the real probe here: $probed)"
[ $failed -eq 0 ]
