#!/bin/sh
# EPICS base 7.0.3.1 (the version of Debian's libca) built from Debian's
# epics-base orig tarball into the dependency cache (cmake/deps-cache.sh): the
# soft IOC (softIoc, with dbd/softIoc.dbd beside it), caRepeater and the
# libraries, for the tests that run against a real IOC.  Only what softIoc
# needs of the libCom, ca and database modules is built (no pvAccess, no
# command-line clients, templates or tests), linked statically so that the
# entry can be moved: softIoc finds its dbd relative to its own directory.
# A finished entry (with its STAMP) is reused.
#
# usage: build-epics-base.sh
# Prints the entry's directory as its last line; softIoc is
# DIR/bin/EPICS_HOST_ARCH/softIoc (EPICS_HOST_ARCH in DIR/STAMP's second word).
# JOBS (default 2) sets make's parallelism.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
fail() { echo "build-epics-base: $*" >&2; exit 1; }
. "$HERE/deps-cache.sh"
. "$HERE/epics-source.sh"

case "$(uname -s)-$(uname -m)" in
    Linux-x86_64) ARCH=linux-x86_64 ;;
    Linux-i?86) ARCH=linux-x86 ;;
    Linux-aarch64) ARCH=linux-aarch64 ;;
    *) fail "no EPICS host architecture known for $(uname -s) $(uname -m)" ;;
esac
# What the STAMP records: a change of recipe makes the entry anew.
RECIPE="$EPICS_VERSION $ARCH static libcom,ca-client,database"
ENTRY=epics-base-$EPICS_VERSION-$ARCH
ROOT=$(deps_cache_root) || fail "no dependency cache directory (set LABTCL_CACHE)"
DEST=$ROOT/$ENTRY

done_already() {
    [ -f "$DEST/STAMP" ] && [ "$(cat "$DEST/STAMP")" = "$RECIPE" ] && [ -x "$DEST/bin/$ARCH/softIoc" ]
}
if done_already; then echo "$DEST"; exit 0; fi

for tool in make perl g++ tar; do
    command -v $tool >/dev/null || fail "$tool not found (install the Debian packages make, perl, g++ and tar)"
done
TARBALL=$(epics_source_tarball)
deps_cache_lock "$ENTRY" || fail "cannot lock the cache entry $ENTRY"
if done_already; then echo "$DEST"; exit 0; fi

TMP=$(mktemp -d "$ROOT/$ENTRY.tmp.XXXXXX") || fail "cannot make a temporary directory in $ROOT"
trap 'rm -rf "$TMP"' EXIT
mkdir "$TMP/src" "$TMP/entry"
tar -xzf "$TARBALL" -C "$TMP/src" --strip-components=1 || fail "unpacking $TARBALL failed"

JOBS=${JOBS:-2}
# Static libraries (a movable entry), EPICS's own line editor (no readline
# needed), installed into the entry rather than the source tree.
set -- -j"$JOBS" EPICS_HOST_ARCH="$ARCH" INSTALL_LOCATION="$TMP/entry" \
       STATIC_BUILD=YES SHARED_LIBRARIES=NO COMMANDLINE_LIBRARY=EPICS
echo "build-epics-base: building EPICS base $EPICS_VERSION ($ARCH) in $TMP, 2 to 4 minutes on 2 cores" >&2
start=$(date +%s)
{
    make -C "$TMP/src" "$@" configure &&
    make -C "$TMP/src/src" "$@" tools &&
    make -C "$TMP/src/modules/libcom" "$@" src &&
    make -C "$TMP/src/modules/ca/src" "$@" client &&
    make -C "$TMP/src/modules/database/src" "$@" tools ioc std
} >"$TMP/build.log" 2>&1 || {
    cp "$TMP/build.log" "$ROOT/$ENTRY.failed.log" || true
    grep -E 'error|Error' "$TMP/build.log" | head -n 20 >&2
    tail -n 20 "$TMP/build.log" >&2
    fail "building EPICS base failed (whole log: $ROOT/$ENTRY.failed.log)"
}
for f in "bin/$ARCH/softIoc" "bin/$ARCH/caRepeater" dbd/softIoc.dbd; do
    [ -e "$TMP/entry/$f" ] || fail "$f missing after the build"
done
echo "$RECIPE" > "$TMP/entry/STAMP"
rm -rf "$DEST"
mv "$TMP/entry" "$DEST"
echo "build-epics-base: $DEST in $(( $(date +%s) - start )) s" >&2
echo "$DEST"
