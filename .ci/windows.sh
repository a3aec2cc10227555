#!/bin/sh
# Windows deliverable of the scan-control extension: installs the mingw-w64
# cross compilers and Wine (Debian packages), builds a Windows Tcl 8.6 and a
# Windows Tcl 9 per bitness (kept in the dependency cache), vantorq.dll (Tcl
# 8.4 to 8.6) and tcl9vantorq.dll (Tcl 9) for 32-bit and 64-bit x86, checks
# their exports and imports, and runs under Wine, with each Windows tclsh,
# the Tcl suite, the Windows-only tests, the cross-bitness tests (a 32-bit
# and a 64-bit client of one block) and the packaging tests.
#
# Whether the 32-bit tests run is decided by .ci/lib/wine32.sh: kernels that
# run no 32-bit x86 code (found by running a tiny 32-bit program) get a
# 64-bit-only Wine prefix driven by wine64 directly: both DLLs are still
# built and checked, every 64-bit test runs, and the 32-bit and
# cross-bitness tests are skipped with one loud line saying why (also
# appended to $LABTCL_SKIP_REPORT when set).  On a kernel that runs 32-bit
# code, wine32 is installed (tried again when APT fails, even when an index
# fails to update), and when it cannot be the leg fails with APT's message,
# unless VANTORQ_ALLOW_NO_WIN32=1 (then the same loud skip, with that
# reason).  VANTORQ_REQUIRE_WIN32=1 turns every skip into a failure.  That
# decision is checked first against stubbed machines (tests/ci/wine32.sh).
#
# Exits non-zero on any failure; fails loudly when Wine cannot run here.
# usage: .ci/windows.sh     (from anywhere; trees: build-win32, build-win64)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B32=${VANTORQ_BUILD_WIN32:-$ROOT/build-win32}
B64=${VANTORQ_BUILD_WIN64:-$ROOT/build-win64}
JOBS=${JOBS:-2}
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64

say() { echo "== windows.sh: $*"; }
die() { echo "!! windows.sh: $*" >&2; exit 1; }

# ---- the decision about the 32-bit tests, against stubbed machines ----
say "checking the 32-bit decision (tests/ci/wine32.sh)"
sh "$ROOT/tests/ci/wine32.sh" || die "the check of the 32-bit decision (.ci/lib/wine32.sh) failed (above)"

# ---- packages (idempotent, non-interactive) ----
missing_of() {
    m=""
    for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || m="$m $p"; done
    echo "$m"
}
apt_install() {
    [ "$(id -u)" = 0 ] || die "packages missing ($*) and not root: install them first"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2068
    apt-get -o DPkg::Lock::Timeout=600 install -y -q $@
}
# binutils: the assembler and linker of the kernel probe (.ci/lib/wine32.sh).
missing=$(missing_of cmake make binutils g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 debian-archive-keyring)
if [ -n "$missing" ]; then
    say "installing$missing"
    [ "$(id -u)" = 0 ] || die "packages missing ($missing) and not root: install them first"
    # One index failing to update (a mirror in mid-sync) need not stop the install.
    apt-get -o DPkg::Lock::Timeout=600 update -q ||
        say "apt-get update failed on some index (above): installing from what it has"
    # shellcheck disable=SC2086
    apt_install $missing || die "installing$missing failed (APT's message above)"
fi
mkdir -p "$B32" "$B64"

# ---- the 32-bit tests: run, skip or fail, and why (wine32:i386 installed
# there when the kernel runs 32-bit code) ----
WINE32_LOADER=${VANTORQ_WINE32_LOADER:-$WINE32_LOADER}
verdict=$(sh "$ROOT/.ci/lib/wine32.sh" "$B32") || die "deciding about the 32-bit tests failed (above)"
case $verdict in
    run)
        WIN32_RUNS=1
        WINE=$WINE32_LOADER         # runs 32-bit and (through wine64) 64-bit programs
        MODE=wow64
        unset WINEARCH || true ;;
    skip\ *)
        WIN32_RUNS=0
        WIN32_WHY=${verdict#skip }
        [ -x "$WINE64_LOADER" ] || die "$WINE64_LOADER is missing and the 32-bit tests cannot run ($WIN32_WHY): no Wine here"
        # Debian's wine wrapper would pick the 32-bit loader: call wine64 itself.
        WINE=$WINE64_LOADER
        MODE=win64-only
        export WINEARCH=win64 ;;
    fail\ *)
        why=${verdict#fail }
        case $why in
            *"(VANTORQ_REQUIRE_WIN32=1)") hint="" ;;
            *) hint=" Set VANTORQ_ALLOW_NO_WIN32=1 to skip them instead." ;;
        esac
        die "$why: the 32-bit and cross-bitness Windows tests cannot run. FAILING, not skipping.$hint" ;;
    *) die "no verdict about the 32-bit tests from .ci/lib/wine32.sh (it printed \"$verdict\")" ;;
esac
say "Wine: $MODE ($WINE)"

# ---- the Wine prefix; remade when the Wine packages or the mode change (a
# prefix made before wine32 was installed, or by wine64 alone, is unfit for
# 32-bit programs) ----
export WINEDEBUG=-all
export WINEPREFIX="$B32/wineprefix"
MADE_WITH="$(dpkg-query -W -f='${Package}:${Architecture}=${Version} ' wine64 wine32:i386 2>/dev/null || true)$MODE"
if [ -d "$WINEPREFIX" ] && [ "$(cat "$WINEPREFIX/.made-with" 2>/dev/null)" != "$MADE_WITH" ]; then
    say "Wine packages or mode changed since $WINEPREFIX was made: making it afresh"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
if ! "$WINE" wineboot --init >"$B32/wineboot.log" 2>&1; then
    cat "$B32/wineboot.log" >&2
    die "WINE CANNOT RUN ON THIS MACHINE ($WINE wineboot --init failed, see above): the Windows tests cannot run. FAILING, not skipping."
fi
echo "$MADE_WITH" > "$WINEPREFIX/.made-with"
stop_wine() { WINEPREFIX="$B32/wineprefix" wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

# ---- configure and build both trees (the 64-bit one first: the 32-bit tree
# runs the cross-bitness tests against it) ----
for bits in 64 32; do
    if [ $bits = 64 ]; then tree=$B64; arch=x86_64; extra=""; else tree=$B32; arch=i686; extra="-DVANTORQ_BUILD_DIR64=$B64"; fi
    say "configuring and building the $bits-bit tree $tree"
    # shellcheck disable=SC2086
    cmake -S "$ROOT" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=OFF -DBUILD_TESTING=ON \
          -DVANTORQ_WINEPREFIX="$WINEPREFIX" -DVANTORQ_WINE="$WINE" -DVANTORQ_WINEARCH="${WINEARCH:-}" \
          $extra >"$tree/configure.log" 2>&1 ||
        { tail -n 40 "$tree/configure.log" >&2; die "configuring $tree failed (log: $tree/configure.log)"; }
    cmake --build "$tree" -j"$JOBS" >"$tree/build.log" 2>&1 ||
        { grep -E 'error|Error' "$tree/build.log" | head -n 40 >&2; die "building $tree failed (log: $tree/build.log)"; }
    # Each flavour: exactly the two entry points, and no mingw runtime or
    # Tcl DLL needed (Tcl comes from the loading interpreter, stubs).
    for dll in "$tree/vantorq/vantorq.dll" "$tree/vantorq/tcl9vantorq.dll"; do
        [ -f "$dll" ] || die "$dll was not built"
        exports=$("$arch-w64-mingw32-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1 ~ /^\[/ && $NF != "Table" { print $NF }' | tr '\n' ' ')
        [ "$exports" = "Laser_Control Vantorq_Init " ] || die "$dll exports '$exports', want Laser_Control Vantorq_Init"
        if "$arch-w64-mingw32-objdump" -p "$dll" | grep -iE 'DLL Name: (libgcc|libstdc|libwinpthread|tcl)'; then
            die "$dll needs a runtime or Tcl DLL by name"
        fi
        say "$dll: exports and imports checked"
    done
done

# ---- tests ----
failed=""
trees="$B64"
[ $WIN32_RUNS = 1 ] && trees="$B64 $B32"
# The tcltest totals of each suite of a tree's last ctest run, one line each.
suite_counts() {
    awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
         /^all(_windows)?\.tcl:\tTotal/ { sub(/^all(_windows)?\.tcl:\t/, ""); gsub(/\t/, " "); print "    " name ": " $0 }' \
        "$1/Testing/Temporary/LastTest.log" 2>/dev/null || true
}
for tree in $trees; do
    say "ctest in $tree"
    (cd "$tree" && ctest --output-on-failure) || failed="$failed $tree"
done
for tree in $trees; do
    say "tests per suite in $tree (tcltest counts):"
    suite_counts "$tree"
done

if [ $WIN32_RUNS = 0 ]; then
    line="windows: 32-bit and cross-bitness Windows tests (ctest in $B32: the Tcl suite, Windows-only and packaging tests under the 32-bit tclsh86.exe and tclsh90.exe with the 32-bit DLLs, and the 32-bit/64-bit clients of one block) - $WIN32_WHY; the 32-bit DLLs were built and their exports checked, never loaded"
    echo "!!!!!!!! windows.sh: SKIPPED $line. Set VANTORQ_REQUIRE_WIN32=1 to fail instead. !!!!!!!!"
    [ -z "${LABTCL_SKIP_REPORT:-}" ] || echo "$line" >> "$LABTCL_SKIP_REPORT"
fi

[ -z "$failed" ] || die "FAILED:$failed"
say "all Windows builds and the tests this machine can run passed; DLLs: $B32/vantorq, $B64/vantorq"
