#!/bin/sh
# The Channel Access headers of EPICS base 7.0.3.1 (the version of Debian's
# libca-dev/libcom-dev, which ship no headers), unpacked from the orig tarball
# of Debian's epics-base source package into the dependency cache
# (cmake/deps-cache.sh). The tarball is fetched once into the cache, where the
# IOC build (build-epics-base.sh) finds it too.
#
# usage: fetch_epics_headers.sh
# Prints the entry's directory as its last line: DIR/epics-base/modules/...
# (only the include directories) and DIR/STAMP.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
fail() { echo "fetch_epics_headers: $*" >&2; exit 1; }
. "$HERE/deps-cache.sh"
. "$HERE/epics-source.sh"

ENTRY=epics-headers-$EPICS_VERSION
ROOT=$(deps_cache_root) || fail "no dependency cache directory (set LABTCL_CACHE)"
DEST=$ROOT/$ENTRY
if [ -f "$DEST/STAMP" ]; then echo "$DEST"; exit 0; fi

command -v tar >/dev/null || fail "tar not found (install package tar)"
TARBALL=$(epics_source_tarball)
deps_cache_lock "$ENTRY" || fail "cannot lock the cache entry $ENTRY"
if [ -f "$DEST/STAMP" ]; then echo "$DEST"; exit 0; fi

TOP=$(tar -tzf "$TARBALL" | head -n 1 | cut -d/ -f1)
DIRS="modules/ca/src/client modules/libcom/src/misc modules/libcom/src/osi
      modules/libcom/src/osi/os/Linux modules/libcom/src/osi/os/posix
      modules/libcom/src/osi/os/default modules/libcom/src/osi/compiler/gcc
      modules/libcom/src/osi/compiler/default modules/libcom/src/ellLib
      modules/libcom/src/error modules/libcom/src/timer modules/libcom/src/cxxTemplates"
MEMBERS=""
for d in $DIRS; do MEMBERS="$MEMBERS --wildcards $TOP/$d/*.h"; done
TMP=$(mktemp -d "$ROOT/$ENTRY.tmp.XXXXXX") || fail "cannot make a temporary directory in $ROOT"
# shellcheck disable=SC2086
tar -xzf "$TARBALL" -C "$TMP" --no-wildcards-match-slash $MEMBERS ||
    { rm -rf "$TMP"; fail "unpacking the headers from $TARBALL failed"; }
[ -f "$TMP/$TOP/modules/ca/src/client/cadef.h" ] ||
    { rm -rf "$TMP"; fail "$TARBALL holds no modules/ca/src/client/cadef.h"; }
mkdir "$TMP/entry"
mv "$TMP/$TOP" "$TMP/entry/epics-base"
echo "$EPICS_VERSION" > "$TMP/entry/STAMP"
rm -rf "$DEST"
mv "$TMP/entry" "$DEST"
rm -rf "$TMP"
echo "fetch_epics_headers: headers in $DEST/epics-base" >&2
echo "$DEST"
