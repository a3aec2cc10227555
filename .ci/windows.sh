#!/bin/sh
# Windows deliverable of the scan-control extension: installs the mingw-w64
# cross compilers and Wine (Debian packages), builds a Windows Tcl (cached in
# the build trees), vantorq.dll for 32-bit and 64-bit x86, and runs under Wine
# the Tcl suite with each Windows tclsh, the Windows-only tests and the
# cross-bitness tests (a 32-bit and a 64-bit client of one block).
# Exits non-zero on any failure; fails loudly when Wine cannot run here.
#
# usage: .ci/windows.sh     (from anywhere; trees: build-win32, build-win64)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B32=${VANTORQ_BUILD_WIN32:-$ROOT/build-win32}
B64=${VANTORQ_BUILD_WIN64:-$ROOT/build-win64}
JOBS=${JOBS:-2}
export TCL_SOURCE_CACHE="$B32/tcl-download"   # one download for both Tcl builds

say() { echo "== windows.sh: $*"; }
die() { echo "!! windows.sh: $*" >&2; exit 1; }

# ---- packages (idempotent, non-interactive) ----
PACKAGES="cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 debian-archive-keyring"
missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    say "installing$missing"
    [ "$(id -u)" = 0 ] || die "packages missing ($missing) and not root: install them first"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q $missing
fi

# ---- Wine must run here; a prefix made before wine32 was installed is broken ----
export WINEDEBUG=-all
export WINEPREFIX="$B32/wineprefix"
mkdir -p "$B32" "$B64"
WINE_VERSIONS=$(dpkg-query -W -f='${Package}:${Architecture}=${Version} ' wine64 wine32:i386)
if [ -d "$WINEPREFIX" ] && [ "$(cat "$WINEPREFIX/.made-with" 2>/dev/null)" != "$WINE_VERSIONS" ]; then
    say "Wine packages changed since $WINEPREFIX was made: making it afresh"
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
if ! wineboot --init >"$B32/wineboot.log" 2>&1; then
    cat "$B32/wineboot.log" >&2
    die "WINE CANNOT RUN ON THIS MACHINE: the Windows tests cannot run (see above). FAILING, not skipping."
fi
echo "$WINE_VERSIONS" > "$WINEPREFIX/.made-with"
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
          -DVANTORQ_WINEPREFIX="$WINEPREFIX" $extra >"$tree/configure.log" 2>&1 ||
        { tail -n 40 "$tree/configure.log" >&2; die "configuring $tree failed"; }
    cmake --build "$tree" -j"$JOBS" >"$tree/build.log" 2>&1 ||
        { grep -E 'error|Error' "$tree/build.log" | head -n 40 >&2; die "building $tree failed (log: $tree/build.log)"; }
    # Exactly the two entry points, and no mingw runtime DLL needed.
    dll="$tree/vantorq/vantorq.dll"
    exports=$("$arch-w64-mingw32-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1 ~ /^\[/ && $NF != "Table" { print $NF }' | tr '\n' ' ')
    [ "$exports" = "Laser_Control Vantorq_Init " ] || die "$dll exports '$exports', want Laser_Control Vantorq_Init"
    if "$arch-w64-mingw32-objdump" -p "$dll" | grep -iE 'DLL Name: (libgcc|libstdc|libwinpthread|tcl)'; then
        die "$dll needs a runtime or Tcl DLL by name"
    fi
done

# ---- tests ----
failed=""
for tree in "$B64" "$B32"; do
    say "ctest in $tree"
    (cd "$tree" && ctest --output-on-failure -R '^scan_control\.(tcl\.)?windows') || failed="$failed $tree"
done

[ -z "$failed" ] || die "FAILED:$failed"
say "all Windows builds and tests passed; DLLs: $B32/vantorq, $B64/vantorq"
