#!/bin/sh
# Build a Windows Tcl 8.6 (tcl86.dll, tclsh86.exe, libtclstub86.a, headers and
# script library with tcltest) with mingw-w64 from Debian's tcl8.6 source
# package.  The source is fetched with a private apt configuration that leaves
# the system's sources, lists and package cache untouched.  A finished build
# is reused: DEST/STAMP marks it.
#
# usage: build-windows-tcl.sh HOST DEST
#   HOST  i686-w64-mingw32 or x86_64-w64-mingw32
#   DEST  install prefix: DEST/bin/tclsh86.exe, DEST/bin/tcl86.dll,
#         DEST/lib/libtclstub86.a, DEST/include/tcl.h, DEST/lib/tcl8.6
# TCL_SOURCE_CACHE (optional): directory to keep the source tarball in, so
# that the 32-bit and 64-bit builds download it once.
set -eu
HOST=$1
DEST=$2
VERSION=8.6.13
mkdir -p "$DEST"
DEST=$(cd "$DEST" && pwd)
[ -f "$DEST/STAMP" ] && [ -f "$DEST/bin/tclsh86.exe" ] && exit 0

fail() { echo "build-windows-tcl: $*" >&2; exit 1; }
command -v "$HOST-gcc" >/dev/null || fail "$HOST-gcc not found (install g++-mingw-w64-i686 / g++-mingw-w64-x86-64)"
command -v make >/dev/null || fail "make not found (install package make)"
case $HOST in
    x86_64-*) BITS=--enable-64bit ;;
    i686-*) BITS= ;;
    *) fail "unknown host $HOST (want i686-w64-mingw32 or x86_64-w64-mingw32)" ;;
esac

CACHE=${TCL_SOURCE_CACHE:-$DEST/download}
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
TARBALL=$(ls "$CACHE"/tcl8.6_$VERSION*.orig.tar.gz 2>/dev/null | head -n 1 || true)
if [ -z "$TARBALL" ]; then
    command -v apt-get >/dev/null || fail "apt-get not found: put tcl8.6_$VERSION+dfsg.orig.tar.gz into $CACHE"
    # The mirror of the system's own bookworm entry (deb822 or one-line form).
    MIRROR=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
             awk '/^URIs:/ { print $2; exit }')
    [ -n "$MIRROR" ] || MIRROR=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
             awk '$1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++) if ($i ~ /^http/) { print $i; exit } }')
    [ -n "$MIRROR" ] || MIRROR=http://deb.debian.org/debian
    KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
    [ -f "$KEYRING" ] || fail "keyring $KEYRING missing (install package debian-archive-keyring)"
    WORK="$CACHE/apt"
    mkdir -p "$WORK/sources" "$WORK/lists/partial" "$WORK/cache/archives/partial"
    printf 'deb-src [signed-by=%s] %s bookworm main\n' "$KEYRING" "$MIRROR" > "$WORK/sources/tcl.list"
    set -- -o "Dir::Etc::SourceParts=$WORK/sources" -o Dir::Etc::SourceList=/dev/null \
           -o "Dir::State::Lists=$WORK/lists" -o "Dir::Cache=$WORK/cache" \
           -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -q
    echo "build-windows-tcl: fetching tcl8.6 sources from $MIRROR"
    apt-get "$@" update >"$WORK/update.log" 2>&1 ||
        { cat "$WORK/update.log" >&2; fail "apt-get update of the private deb-src list failed"; }
    (cd "$CACHE" && apt-get "$@" source --download-only tcl8.6 >"$WORK/source.log" 2>&1) ||
        { cat "$WORK/source.log" >&2; fail "apt-get source --download-only tcl8.6 failed"; }
    rm -rf "$WORK/lists" "$WORK/cache"
    TARBALL=$(ls "$CACHE"/tcl8.6_$VERSION*.orig.tar.gz 2>/dev/null | head -n 1 || true)
    [ -n "$TARBALL" ] || fail "no tcl8.6_$VERSION orig tarball in $CACHE (Debian moved to another version?)"
fi

SRC="$DEST/src"
rm -rf "$SRC" "$DEST/build"
mkdir -p "$SRC" "$DEST/build"
tar -xzf "$TARBALL" -C "$SRC" --strip-components=1 || fail "unpacking $TARBALL failed"

echo "build-windows-tcl: building Tcl $VERSION for $HOST in $DEST/build"
cd "$DEST/build"
# shellcheck disable=SC2086
"$SRC/win/configure" --host="$HOST" --prefix="$DEST" --enable-threads $BITS >configure.log 2>&1 ||
    { tail -n 30 configure.log >&2; fail "configure failed (log: $DEST/build/configure.log)"; }
JOBS=$(nproc 2>/dev/null || echo 2)
make -j"$JOBS" binaries >make.log 2>&1 ||
    { tail -n 30 make.log >&2; fail "make binaries failed (log: $DEST/build/make.log)"; }
make install-binaries install-libraries >install.log 2>&1 ||
    { tail -n 30 install.log >&2; fail "make install failed (log: $DEST/build/install.log)"; }
[ -f "$DEST/bin/tclsh86.exe" ] || fail "tclsh86.exe missing after the install"
[ -f "$DEST/lib/libtclstub86.a" ] || fail "libtclstub86.a missing after the install"
rm -rf "$SRC"
echo "$VERSION $HOST" > "$DEST/STAMP"
echo "build-windows-tcl: Tcl for $HOST in $DEST"
