#!/bin/sh
# Puts the upstream (orig) tarball of a Debian source package into the
# dependency cache (ROOT/sources/) and prints its path.  The tarball is
# downloaded with the SHA-256 sum of the suite's Sources index checked on the
# way in, through a private apt configuration: the system's apt sources,
# lists and package cache are left alone.  Only the tarball is fetched (the
# .dsc and Debian patches are not needed, and the mirror may not serve them).
#
# usage: sh debian-source.sh SUITE PACKAGE [VERSION]
#   SUITE    bookworm, sid, ...
#   PACKAGE  source package name (tcl8.6, tcl9.0)
#   VERSION  upstream version wanted (8.6.13); without it, a tarball of the
#            package already in the cache is taken (the newest), else the one
#            SUITE has now
# A tarball already in the cache is printed without touching the network.
set -eu

fail() { echo "debian-source: $*" >&2; exit 1; }
[ $# -ge 2 ] || fail "usage: debian-source.sh SUITE PACKAGE [VERSION]"
SUITE=$1
PACKAGE=$2
VERSION=${3:-}

. "$(dirname "$0")/deps-cache.sh"
ROOT=$(deps_cache_root)
SOURCES="$ROOT/sources"
mkdir -p "$SOURCES"

cached() {
    # Upstream versions sort with sort -V; "+dfsg" and the like follow them.
    ls "$SOURCES"/"${PACKAGE}_${VERSION}"*.orig.tar.* 2>/dev/null | sort -V | tail -n 1
}
found=$(cached)
if [ -n "$found" ]; then echo "$found"; exit 0; fi

deps_cache_lock "sources-$PACKAGE"
found=$(cached)                     # made by another build while we waited
if [ -n "$found" ]; then echo "$found"; exit 0; fi

command -v apt-get >/dev/null || fail "apt-get not found: put the ${PACKAGE} orig tarball into $SOURCES"
[ -x /usr/lib/apt/apt-helper ] || fail "/usr/lib/apt/apt-helper not found (package apt)"

# The mirror and keyring of the system's own Debian entry (deb822 first,
# then the one-line form); deb.debian.org otherwise.
MIRROR=""
KEYRING=""
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    eval "$(awk '
        function flush() {
            if (!done && uris ~ /debian\/?$/ && comps ~ /(^| )main( |$)/) {
                split(uris, u, " "); printf "MIRROR=%s\nKEYRING=%s\n", u[1], key; done = 1 }
            uris = ""; comps = ""; key = "" }
        /^[ \t]*$/ { flush(); next }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
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
                if ($i ~ /debian\/?$/) { print $i; exit } }' "$f")
        [ -n "$MIRROR" ] && break
    done
fi
[ -n "$MIRROR" ] || MIRROR=http://deb.debian.org/debian
# A release's own keyring may not sign another suite (sid): take the archive
# keyring, which signs them all.
case $KEYRING in ""|*/debian-archive-*) KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg ;; esac
[ -f "$KEYRING" ] || fail "keyring $KEYRING missing (install package debian-archive-keyring)"

WORK=$(mktemp -d "$SOURCES/.apt-$PACKAGE.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/sources" "$WORK/lists/partial" "$WORK/cache/archives/partial"
printf 'deb-src [signed-by=%s] %s %s main\n' "$KEYRING" "$MIRROR" "$SUITE" > "$WORK/sources/src.list"
set -- -o "Dir::Etc::SourceParts=$WORK/sources" -o Dir::Etc::SourceList=/dev/null \
       -o "Dir::State::Lists=$WORK/lists" -o "Dir::Cache=$WORK/cache" \
       -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -q
echo "debian-source: reading the $SUITE source index from $MIRROR" >&2
apt-get "$@" update >"$WORK/update.log" 2>&1 ||
    { cat "$WORK/update.log" >&2; fail "apt-get update of the private deb-src list ($SUITE) failed"; }
# One line per file of the source package: 'URI' NAME SIZE SHA256:SUM
apt-get "$@" source --print-uris "$PACKAGE" >"$WORK/uris" 2>"$WORK/uris.log" ||
    { cat "$WORK/uris.log" >&2; fail "$SUITE has no source package $PACKAGE"; }
line=$(grep -E "^'[^']*' ${PACKAGE}_${VERSION}[^ ]*\.orig\.tar\.[a-z0-9]+ " "$WORK/uris" | head -n 1 || true)
[ -n "$line" ] || { cat "$WORK/uris" >&2; fail "no orig tarball of $PACKAGE ${VERSION:-(any version)} in $SUITE (Debian moved to another version?)"; }
uri=$(echo "$line" | cut -d"'" -f2)
name=$(echo "$line" | awk '{ print $2 }')
sum=$(echo "$line" | awk '{ print $4 }')
case $sum in SHA256:*) ;; *) fail "no SHA-256 sum for $name in the $SUITE index (got '$sum')" ;; esac

echo "debian-source: downloading $name" >&2
/usr/lib/apt/apt-helper -o Debug::NoLocking=1 download-file "$uri" "$WORK/$name" "$sum" >"$WORK/download.log" 2>&1 ||
    { cat "$WORK/download.log" >&2; fail "downloading $uri failed or its SHA-256 sum differs from the index"; }
mv "$WORK/$name" "$SOURCES/$name"
echo "$SOURCES/$name"
