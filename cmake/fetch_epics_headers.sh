#!/bin/sh
# Fetch the Channel Access headers of EPICS base 7.0.3.1 (the version of
# Debian's libca-dev/libcom-dev, which ship no headers) from Debian's
# epics-base source package, with a private apt configuration that leaves the
# system's sources, lists and package cache untouched.
#
# usage: fetch_epics_headers.sh DEST
# Leaves DEST/epics-base/modules/... (only the include directories) and
# DEST/STAMP when done.
set -eu
DEST=$1
VERSION=7.0.3.1
mkdir -p "$DEST"
DEST=$(cd "$DEST" && pwd)
[ -f "$DEST/STAMP" ] && exit 0

fail() { echo "fetch_epics_headers: $*" >&2; exit 1; }
command -v apt-get >/dev/null || fail "apt-get not found: set EPICS_BASE to an EPICS base installation instead"
command -v tar >/dev/null || fail "tar not found (install package tar)"

# The mirror and keyring of the system's own bookworm main entry.
MIRROR=""
KEYRING=""
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # deb822 stanzas: take the first one listing bookworm and main.
    eval "$(awk '
        function flush() {
            if (!done && uris != "" && suites ~ /(^| )bookworm( |$)/ && comps ~ /(^| )main( |$)/) {
                split(uris, u, " "); printf "MIRROR=%s\nKEYRING=%s\n", u[1], key; done = 1 }
            uris = ""; suites = ""; comps = ""; key = "" }
        /^[ \t]*$/ { flush(); next }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
        /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $0 }
        END { flush() }' "$f")"
    [ -n "$MIRROR" ] && break
done
if [ -z "$MIRROR" ]; then
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        MIRROR=$(awk '$1 ~ /^deb(-src)?$/ {
                i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i+1) == "bookworm") { print $i; exit } }' "$f")
        [ -n "$MIRROR" ] && break
    done
fi
[ -n "$MIRROR" ] || MIRROR=http://deb.debian.org/debian
[ -n "$KEYRING" ] || KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
[ -f "$KEYRING" ] || fail "keyring $KEYRING missing (install package debian-archive-keyring)"

WORK="$DEST/apt"
mkdir -p "$WORK/sources" "$WORK/lists/partial" "$WORK/cache/archives/partial" "$WORK/download"
printf 'deb-src [signed-by=%s] %s bookworm main\n' "$KEYRING" "$MIRROR" > "$WORK/sources/epics.list"
set -- -o "Dir::Etc::SourceParts=$WORK/sources" -o Dir::Etc::SourceList=/dev/null \
       -o "Dir::State::Lists=$WORK/lists" -o "Dir::Cache=$WORK/cache" \
       -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -q
echo "fetch_epics_headers: fetching epics-base $VERSION sources from $MIRROR"
apt-get "$@" update >"$WORK/update.log" 2>&1 || { cat "$WORK/update.log" >&2; fail "apt-get update of the private deb-src list failed"; }
(cd "$WORK/download" && apt-get "$@" source --download-only "epics-base=$VERSION-4" >"$WORK/source.log" 2>&1 ||
    apt-get "$@" source --download-only epics-base >"$WORK/source.log" 2>&1) ||
    { cat "$WORK/source.log" >&2; fail "apt-get source --download-only epics-base failed"; }
TARBALL="$WORK/download/epics-base_$VERSION.orig.tar.gz"
[ -f "$TARBALL" ] || fail "$TARBALL not downloaded (Debian no longer has epics-base $VERSION?)"

TOP=$(tar -tzf "$TARBALL" | head -n 1 | cut -d/ -f1)
DIRS="modules/ca/src/client modules/libcom/src/misc modules/libcom/src/osi
      modules/libcom/src/osi/os/Linux modules/libcom/src/osi/os/posix
      modules/libcom/src/osi/os/default modules/libcom/src/osi/compiler/gcc
      modules/libcom/src/osi/compiler/default modules/libcom/src/ellLib
      modules/libcom/src/error modules/libcom/src/timer modules/libcom/src/cxxTemplates"
MEMBERS=""
for d in $DIRS; do MEMBERS="$MEMBERS --wildcards $TOP/$d/*.h"; done
rm -rf "$DEST/epics-base" "$DEST/$TOP"
# shellcheck disable=SC2086
tar -xzf "$TARBALL" -C "$DEST" --no-wildcards-match-slash $MEMBERS ||
    fail "unpacking the headers from $TARBALL failed"
mv "$DEST/$TOP" "$DEST/epics-base"
rm -rf "$WORK/download" "$WORK/cache" "$WORK/lists"
echo "$VERSION" > "$DEST/STAMP"
echo "fetch_epics_headers: headers in $DEST/epics-base"
