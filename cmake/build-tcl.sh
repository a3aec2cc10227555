#!/bin/sh
# Builds a Tcl from Debian's source package into the dependency cache
# (cmake/deps-cache.sh) and prints the entry's directory.  A finished entry
# (it has a STAMP) is reused; a build is made beside it and moved into place
# when complete, under the entry's lock.  Messages go to standard error.
#
# usage: sh build-tcl.sh SERIES HOST [stubs]
#   SERIES  8.6 (Debian bookworm's tcl8.6, 8.6.13) or 9.0 (Debian sid's
#           tcl9.0, whatever 9.0.x sid has when no 9.0 entry is cached yet)
#   HOST    x86_64-linux-gnu (native build; 9.0 only, 8.6 is Debian's own),
#           i686-w64-mingw32 or x86_64-w64-mingw32 (mingw-w64 cross builds)
#   stubs   (Windows only) the headers and stubs library alone, enough to
#           build an extension, for machines that cannot run the Tcl (about
#           20 seconds instead of minutes); a complete entry serves too
#
# Entries:
#   tcl-VERSION-x86_64-linux-gnu      bin/tclsh9.0, lib/libtcl9.0.so,
#                                     lib/libtclstub.a, include/tcl.h
#   wintcl-VERSION-HOST               bin/tclshNN.exe, bin/tclNN.dll,
#                                     lib/libtclstub(86).a, include/tcl.h,
#                                     lib/tclX.Y (script library, tcltest)
#   wintcl-stubs-VERSION-HOST         lib/libtclstub(86).a, include/tcl.h
set -eu
fail() { echo "build-tcl: $*" >&2; exit 1; }
[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: build-tcl.sh SERIES HOST [stubs]"
SERIES=$1
HOST=$2
MODE=${3:-full}
HERE=$(cd "$(dirname "$0")" && pwd)
NODOT=$(echo "$SERIES" | tr -d .)

case $SERIES in
    8.6) SUITE=bookworm; PINNED=8.6.13; STUB=libtclstub86.a ;;
    9.0) SUITE=sid; PINNED=""; STUB=libtclstub.a ;;
    *) fail "unknown Tcl series $SERIES (want 8.6 or 9.0)" ;;
esac
case $HOST in
    x86_64-linux-gnu)
        [ "$SERIES" != 8.6 ] || fail "Tcl 8.6 for Linux is Debian's own (package tcl-dev)"
        KIND=tcl; SHELL_FILE=bin/tclsh$SERIES; BITS= ;;
    x86_64-w64-mingw32) KIND=wintcl; SHELL_FILE=bin/tclsh$NODOT.exe; BITS=--enable-64bit ;;
    i686-w64-mingw32) KIND=wintcl; SHELL_FILE=bin/tclsh$NODOT.exe; BITS= ;;
    *) fail "unknown host $HOST (want x86_64-linux-gnu, i686-w64-mingw32 or x86_64-w64-mingw32)" ;;
esac
case $MODE/$KIND in
    full/*|stubs/wintcl) ;;
    *) fail "unknown mode '$MODE' for $HOST (want stubs, for a Windows host)" ;;
esac

. "$HERE/deps-cache.sh"
ROOT=$(deps_cache_root)
stubs_complete() { [ -f "$1/STAMP" ] && [ -f "$1/lib/$STUB" ] && [ -f "$1/include/tcl.h" ]; }
complete() { stubs_complete "$1" && [ -f "$1/$SHELL_FILE" ]; }
# The newest complete entry of the series for this host (for the stubs, a
# complete Tcl first, else a stubs entry).
cached_entry() {
    for d in $(ls -d "$ROOT/$KIND-${PINNED:-$SERIES.}"*"-$HOST" 2>/dev/null | sort -V -r); do
        if complete "$d"; then echo "$d"; return 0; fi
    done
    [ "$MODE" = stubs ] || return 1
    for d in $(ls -d "$ROOT/$KIND-stubs-${PINNED:-$SERIES.}"*"-$HOST" 2>/dev/null | sort -V -r); do
        if stubs_complete "$d"; then echo "$d"; return 0; fi
    done
    return 1
}
if DEST=$(cached_entry); then echo "$DEST"; exit 0; fi

TARBALL=$(sh "$HERE/debian-source.sh" "$SUITE" "tcl$SERIES" "$PINNED") || fail "no tcl$SERIES source tarball"
VERSION=$(basename "$TARBALL" | sed -n "s/^tcl${SERIES}_\([0-9][0-9.]*\).*/\1/p")
[ -n "$VERSION" ] || fail "cannot read the version of $TARBALL"
if [ "$MODE" = stubs ]; then
    ENTRY=$KIND-stubs-$VERSION-$HOST
    complete() { stubs_complete "$1"; }
else
    ENTRY=$KIND-$VERSION-$HOST
fi
DEST=$ROOT/$ENTRY
deps_cache_lock "$ENTRY"
if complete "$DEST"; then echo "$DEST"; exit 0; fi

command -v make >/dev/null || fail "make not found (install package make)"
case $HOST in
    *-mingw32)
        command -v "$HOST-gcc" >/dev/null ||
            fail "$HOST-gcc not found (install g++-mingw-w64-i686 / g++-mingw-w64-x86-64)" ;;
    *) command -v gcc >/dev/null || fail "gcc not found (install package gcc)" ;;
esac

TMP=$(mktemp -d "$ROOT/$ENTRY.tmp.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
mkdir -p "$TMP/src" "$TMP/build"
tar -xzf "$TARBALL" -C "$TMP/src" --strip-components=1 || fail "unpacking $TARBALL failed"
echo "build-tcl: building Tcl $VERSION for $HOST ($MODE) in $TMP" >&2
cd "$TMP/build"
log() { tail -n 30 "$1" >&2; fail "$2 (Tcl $VERSION for $HOST)"; }
JOBS=$(nproc 2>/dev/null || echo 2)
[ "$JOBS" -le 2 ] || JOBS=2

if [ "$KIND" = tcl ]; then
    "$TMP/src/unix/configure" --prefix="$DEST" >configure.log 2>&1 || log configure.log "configure failed"
    make -j"$JOBS" >make.log 2>&1 || log make.log "make failed"
    # Installed under a staging root, then moved to the entry's place whole;
    # the prefix compiled in is the entry's.
    make install INSTALL_ROOT="$TMP/root" >install.log 2>&1 || log install.log "make install failed"
else
    # shellcheck disable=SC2086
    "$TMP/src/win/configure" --host="$HOST" --prefix="$DEST" --enable-threads $BITS >configure.log 2>&1 ||
        log configure.log "configure failed"
fi
if [ "$MODE" = stubs ]; then
    make -j"$JOBS" "$STUB" >make.log 2>&1 || log make.log "make $STUB failed"
    mkdir -p "$TMP/root$DEST/lib" "$TMP/root$DEST/include"
    cp "$STUB" "$TMP/root$DEST/lib/"
    for h in tcl.h tclDecls.h tclPlatDecls.h tclOO.h tclOODecls.h tclTomMath.h tclTomMathDecls.h; do
        [ ! -f "$TMP/src/generic/$h" ] || cp "$TMP/src/generic/$h" "$TMP/root$DEST/include/"
    done
elif [ "$KIND" = wintcl ]; then
    make -j"$JOBS" binaries >make.log 2>&1 || log make.log "make binaries failed"
    # Tcl 9 installs its headers with a target of their own.
    headers=$(grep -q '^install-headers:' Makefile && echo install-headers || true)
    make install-binaries install-libraries $headers INSTALL_ROOT="$TMP/root" >install.log 2>&1 ||
        log install.log "make install failed"
fi
[ "$MODE" = stubs ] || [ -f "$TMP/root$DEST/$SHELL_FILE" ] || fail "$SHELL_FILE missing after the install"
[ -f "$TMP/root$DEST/lib/$STUB" ] || fail "lib/$STUB missing after the install"
[ -f "$TMP/root$DEST/include/tcl.h" ] || fail "include/tcl.h missing after the install"
echo "$VERSION $HOST $MODE $(basename "$TARBALL")" > "$TMP/root$DEST/STAMP"
rm -rf "$DEST"
mv "$TMP/root$DEST" "$DEST"
echo "build-tcl: Tcl $VERSION for $HOST in $DEST" >&2
echo "$DEST"
