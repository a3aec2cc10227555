#!/bin/sh
# EPICS's PV Access modules of the same 7.0.3.1 source (pvData, pvAccess,
# normativeTypes, and pva2pva's QSRV with its soft IOC softIocPVA) built into
# the dependency cache (cmake/deps-cache.sh), against the EPICS base entry of
# build-epics-base.sh (built first when missing).
#
# The libraries are static archives whose objects are position-independent
# (EPICS compiles every library source with -fPIC, static build or not; this
# script checks it), so that a Tcl extension links them into its own shared
# object and ships nothing more.  The Channel Access and libCom functions they
# call are left to the program that links them: Tessaly takes them from
# Debian's shared libca/libCom of the same version, so one copy of libCom
# serves both protocols in a process.  softIocPVA and the pv* tools are
# static executables (base's own static libCom inside them): the entry can be
# moved, though softIocPVA's compiled-in dbd path then needs `-D`.
#
# Entry layout (DIR = ROOT/epics-pva-VERSION-ARCH):
#   DIR/STAMP                       the recipe (second word: the architecture)
#   DIR/include/                    pvData, pvAccess, normativeTypes and QSRV
#                                   headers, and base's (libCom, ca, database)
#   DIR/lib/ARCH/lib*.a             pvData pvAccess pvAccessCA pvAccessIOC nt qsrv
#   DIR/bin/ARCH/softIocPVA         the soft IOC serving records over CA and PVA
#   DIR/bin/ARCH/pv{get,put,monitor,info,list,call}
#   DIR/dbd/softIocPVA.dbd          what softIocPVA loads (also compiled in)
#   DIR/db/softIocExit.db
#
# usage: build-epics-pva.sh
# Prints the entry's directory as its last line.  JOBS (default 2) sets make's
# parallelism.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
fail() { echo "build-epics-pva: $*" >&2; exit 1; }
. "$HERE/deps-cache.sh"
. "$HERE/epics-source.sh"

BASE=$(sh "$HERE/build-epics-base.sh" | tail -n 1) || fail "building EPICS base failed (see above)"
[ -f "$BASE/STAMP" ] || fail "no EPICS base entry at $BASE"
ARCH=$(cut -d' ' -f2 "$BASE/STAMP")
# What the STAMP records: a change of this recipe, or of the base entry's,
# makes the entry anew.
RECIPE="$EPICS_VERSION $ARCH static-pic pvData,pvAccess,pvtools,normativeTypes,qsrv recipe-2 base[$(cat "$BASE/STAMP")]"
ENTRY=epics-pva-$EPICS_VERSION-$ARCH
ROOT=$(deps_cache_root) || fail "no dependency cache directory (set LABTCL_CACHE)"
DEST=$ROOT/$ENTRY
LIBS="pvData pvAccess pvAccessCA pvAccessIOC nt qsrv"

done_already() {
    [ -f "$DEST/STAMP" ] && [ "$(cat "$DEST/STAMP")" = "$RECIPE" ] &&
        [ -x "$DEST/bin/$ARCH/softIocPVA" ] && [ -f "$DEST/lib/$ARCH/libpvAccess.a" ]
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
TOP=$(tar -tzf "$TARBALL" | head -n 1 | cut -d/ -f1)
MODULES="pvData pvAccess normativeTypes pva2pva"
MEMBERS=""
for m in $MODULES; do MEMBERS="$MEMBERS $TOP/modules/$m"; done
# shellcheck disable=SC2086
tar -xzf "$TARBALL" -C "$TMP/src" --strip-components=2 $MEMBERS ||
    fail "unpacking $MODULES from $TARBALL failed"

# The modules read these two files of their parent directory (as in base's
# own bundle build): each installs into the entry, and finds base and the
# modules built before it there.
cat > "$TMP/src/RELEASE.$ARCH.local" <<EOF
PVA_ENTRY = $TMP/entry
EPICS_BASE = $BASE
EOF
cat > "$TMP/src/CONFIG_SITE.local" <<EOF
INSTALL_LOCATION = $TMP/entry
CONFIG_INSTALLS =
EOF

JOBS=${JOBS:-2}
# FINAL_LOCATION: the dbd path compiled into softIocPVA, where the entry ends.
# No run path: the executables need no EPICS shared library, and the build's
# directories are gone once the entry is in place.
set -- -j"$JOBS" EPICS_HOST_ARCH="$ARCH" STATIC_BUILD=YES SHARED_LIBRARIES=NO \
       COMMANDLINE_LIBRARY=EPICS LINKER_USE_RPATH=NO FINAL_LOCATION="$DEST"
echo "build-epics-pva: building pvData, pvAccess, normativeTypes and QSRV $EPICS_VERSION ($ARCH) in $TMP, about 3.5 minutes on 2 cores" >&2
start=$(date +%s)
{
    make -C "$TMP/src/pvData" "$@" configure src &&
    make -C "$TMP/src/pvAccess" "$@" configure src src/ca src/ioc pvtoolsSrc &&
    make -C "$TMP/src/normativeTypes" "$@" configure src &&
    make -C "$TMP/src/pva2pva" "$@" configure pdbApp
} >"$TMP/build.log" 2>&1 || {
    cp "$TMP/build.log" "$ROOT/$ENTRY.failed.log" || true
    grep -E 'error|Error' "$TMP/build.log" | head -n 20 >&2
    tail -n 20 "$TMP/build.log" >&2
    fail "building the PV Access modules failed (whole log: $ROOT/$ENTRY.failed.log)"
}
for f in "bin/$ARCH/softIocPVA" "bin/$ARCH/pvget" dbd/softIocPVA.dbd db/softIocExit.db; do
    [ -e "$TMP/entry/$f" ] || fail "$f missing after the build"
done
# Position-independent: every archive links whole into a shared object.
archives=""
for l in $LIBS; do
    [ -f "$TMP/entry/lib/$ARCH/lib$l.a" ] || fail "lib/$ARCH/lib$l.a missing after the build"
    archives="$archives $TMP/entry/lib/$ARCH/lib$l.a"
done
# shellcheck disable=SC2086
g++ -shared -o "$TMP/pic-check.so" -Wl,--whole-archive $archives -Wl,--no-whole-archive \
    >"$TMP/pic-check.log" 2>&1 || {
    cat "$TMP/pic-check.log" >&2
    fail "the archives do not link into a shared object (not position-independent?)"
}
# Base's headers beside the modules', so that one include directory (and its
# os/ and compiler/ parts) serves a client.
cp -R -n "$BASE/include/." "$TMP/entry/include/"
echo "$RECIPE" > "$TMP/entry/STAMP"
rm -rf "$DEST"
mv "$TMP/entry" "$DEST"
echo "build-epics-pva: $DEST in $(( $(date +%s) - start )) s" >&2
echo "$DEST"
