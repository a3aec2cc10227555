#!/bin/sh
# Builds a Windows Tcl 8.6 (tcl86.dll, tclsh86.exe, libtclstub86.a, headers
# and the script library with tcltest) with mingw-w64 from Debian's tcl8.6
# source package, into the dependency cache (cmake/deps-cache.sh) as the
# entry wintcl-VERSION-HOST, and prints the entry's directory.  A finished
# entry (it has a STAMP) is reused; a build is made beside it and moved into
# place when complete, under the entry's lock.
#
# usage: sh build-windows-tcl.sh HOST
#   HOST  i686-w64-mingw32 or x86_64-w64-mingw32
# The entry holds bin/tclsh86.exe, bin/tcl86.dll, lib/libtclstub86.a,
# include/tcl.h and lib/tcl8.6.  Messages go to standard error.
set -eu
fail() { echo "build-windows-tcl: $*" >&2; exit 1; }
[ $# -eq 1 ] || fail "usage: build-windows-tcl.sh HOST"
HOST=$1
VERSION=8.6.13
HERE=$(cd "$(dirname "$0")" && pwd)
case $HOST in
    x86_64-*) BITS=--enable-64bit ;;
    i686-*) BITS= ;;
    *) fail "unknown host $HOST (want i686-w64-mingw32 or x86_64-w64-mingw32)" ;;
esac

. "$HERE/deps-cache.sh"
ROOT=$(deps_cache_root)
ENTRY=wintcl-$VERSION-$HOST
DEST=$ROOT/$ENTRY
complete() { [ -f "$DEST/STAMP" ] && [ -f "$DEST/bin/tclsh86.exe" ] && [ -f "$DEST/lib/libtclstub86.a" ]; }
if complete; then echo "$DEST"; exit 0; fi
deps_cache_lock "$ENTRY"
if complete; then echo "$DEST"; exit 0; fi

command -v "$HOST-gcc" >/dev/null || fail "$HOST-gcc not found (install g++-mingw-w64-i686 / g++-mingw-w64-x86-64)"
command -v make >/dev/null || fail "make not found (install package make)"
TARBALL=$(sh "$HERE/debian-source.sh" bookworm tcl8.6 "$VERSION") || fail "no tcl8.6 $VERSION source tarball"

TMP=$(mktemp -d "$ROOT/$ENTRY.tmp.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
mkdir -p "$TMP/src" "$TMP/build"
tar -xzf "$TARBALL" -C "$TMP/src" --strip-components=1 || fail "unpacking $TARBALL failed"

echo "build-windows-tcl: building Tcl $VERSION for $HOST in $TMP (a few minutes)" >&2
cd "$TMP/build"
log() { tail -n 30 "$1" >&2; fail "$2"; }
# shellcheck disable=SC2086
"$TMP/src/win/configure" --host="$HOST" --prefix="$DEST" --enable-threads $BITS >configure.log 2>&1 ||
    log configure.log "configure failed"
JOBS=$(nproc 2>/dev/null || echo 2)
[ "$JOBS" -le 2 ] || JOBS=2
make -j"$JOBS" binaries >make.log 2>&1 || log make.log "make binaries failed"
# Installed under a staging root, then moved to the entry's place whole.
make install-binaries install-libraries INSTALL_ROOT="$TMP/root" >install.log 2>&1 ||
    log install.log "make install failed"
[ -f "$TMP/root$DEST/bin/tclsh86.exe" ] || fail "tclsh86.exe missing after the install"
[ -f "$TMP/root$DEST/lib/libtclstub86.a" ] || fail "libtclstub86.a missing after the install"
echo "$VERSION $HOST $(basename "$TARBALL")" > "$TMP/root$DEST/STAMP"
rm -rf "$DEST"
mv "$TMP/root$DEST" "$DEST"
echo "build-windows-tcl: Tcl $VERSION for $HOST in $DEST" >&2
echo "$DEST"
