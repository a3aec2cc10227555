# Sourced by fetch_epics_headers.sh and build-epics-base.sh: the orig tarball
# of Debian's epics-base source package (the version of Debian's libca-dev and
# libcom-dev), kept in the dependency cache as ROOT/sources/NAME so that one
# download serves the headers and the IOC build.  It is fetched through a
# private apt configuration (the system's sources, lists and package cache
# are left alone), with the SHA-256 sum of the source index checked.
#
#   epics_source_tarball     prints the path of the cached tarball, fetching
#                            it first when the cache has none; call it in a
#                            command substitution (it takes the cache lock
#                            on descriptor 9 of its own subshell)
#
# Needs deps-cache.sh sourced first, and a fail function.

EPICS_VERSION=7.0.3.1
EPICS_TARBALL_NAME=epics-base_$EPICS_VERSION.orig.tar.gz

epics_source_tarball() {
    _root=$(deps_cache_root) || fail "no dependency cache directory (set LABTCL_CACHE)"
    _sources=$_root/sources
    mkdir -p "$_sources" || fail "cannot make $_sources"
    if [ ! -f "$_sources/$EPICS_TARBALL_NAME" ]; then
        deps_cache_lock sources-epics-base || fail "cannot lock $_root/sources-epics-base.lock"
        # Another build may have fetched it while this one waited for the lock.
        [ -f "$_sources/$EPICS_TARBALL_NAME" ] || _epics_fetch_tarball "$_sources"
    fi
    echo "$_sources/$EPICS_TARBALL_NAME"
}

# The mirror and keyring of the system's own bookworm main entry (deb822 or
# one-line form); Debian's own mirror and keyring when there is none.
_epics_mirror() {
    EPICS_MIRROR=""
    EPICS_KEYRING=""
    for _f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$_f" ] || continue
        eval "$(awk '
            function flush() {
                if (!done && uris != "" && suites ~ /(^| )bookworm( |$)/ && comps ~ /(^| )main( |$)/) {
                    split(uris, u, " "); printf "EPICS_MIRROR=%s\nEPICS_KEYRING=%s\n", u[1], key; done = 1 }
                uris = ""; suites = ""; comps = ""; key = "" }
            /^[ \t]*$/ { flush(); next }
            /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
            /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
            /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
            /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $0 }
            END { flush() }' "$_f")"
        [ -n "$EPICS_MIRROR" ] && break
    done
    if [ -z "$EPICS_MIRROR" ]; then
        for _f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$_f" ] || continue
            EPICS_MIRROR=$(awk '$1 ~ /^deb(-src)?$/ {
                    i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                    if ($(i+1) == "bookworm") { print $i; exit } }' "$_f")
            [ -n "$EPICS_MIRROR" ] && break
        done
    fi
    [ -n "$EPICS_MIRROR" ] || EPICS_MIRROR=http://deb.debian.org/debian
    [ -n "$EPICS_KEYRING" ] || EPICS_KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
}

# Downloads into a temporary directory beside the tarball, then moves it in.
_epics_fetch_tarball() {
    _dir=$1
    command -v apt-get >/dev/null ||
        fail "apt-get not found: put $EPICS_TARBALL_NAME into $_dir, or set EPICS_BASE"
    [ -x /usr/lib/apt/apt-helper ] || fail "/usr/lib/apt/apt-helper not found (package apt)"
    _epics_mirror
    [ -f "$EPICS_KEYRING" ] || fail "keyring $EPICS_KEYRING missing (install package debian-archive-keyring)"
    _work=$(mktemp -d "$_dir/.apt-epics-base.XXXXXX") || fail "cannot make a temporary directory in $_dir"
    mkdir -p "$_work/sources" "$_work/lists/partial" "$_work/cache/archives/partial"
    printf 'deb-src [signed-by=%s] %s bookworm main\n' "$EPICS_KEYRING" "$EPICS_MIRROR" > "$_work/sources/src.list"
    _apt="-o Dir::Etc::SourceParts=$_work/sources -o Dir::Etc::SourceList=/dev/null
          -o Dir::State::Lists=$_work/lists -o Dir::Cache=$_work/cache
          -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -q"
    echo "epics-source: reading the bookworm source index from $EPICS_MIRROR" >&2
    # shellcheck disable=SC2086
    apt-get $_apt update >"$_work/update.log" 2>&1 ||
        { cat "$_work/update.log" >&2; rm -rf "$_work"; fail "apt-get update of the private deb-src list failed"; }
    # One line per file of the source package: 'URI' NAME SIZE SHA256:SUM
    # shellcheck disable=SC2086
    apt-get $_apt source --print-uris epics-base >"$_work/uris" 2>"$_work/uris.log" ||
        { cat "$_work/uris.log" >&2; rm -rf "$_work"; fail "bookworm has no source package epics-base"; }
    _line=$(grep -F " $EPICS_TARBALL_NAME " "$_work/uris" | head -n 1 || true)
    [ -n "$_line" ] || { cat "$_work/uris" >&2; rm -rf "$_work"; fail "no $EPICS_TARBALL_NAME in the bookworm source index (Debian moved to another version?)"; }
    _uri=$(echo "$_line" | cut -d"'" -f2)
    _sum=$(echo "$_line" | awk '{ print $4 }')
    case $_sum in SHA256:*) ;; *) rm -rf "$_work"; fail "no SHA-256 sum for $EPICS_TARBALL_NAME in the index (got '$_sum')" ;; esac
    echo "epics-source: downloading $EPICS_TARBALL_NAME" >&2
    /usr/lib/apt/apt-helper -o Debug::NoLocking=1 download-file "$_uri" "$_work/$EPICS_TARBALL_NAME" "$_sum" \
        >"$_work/download.log" 2>&1 ||
        { cat "$_work/download.log" >&2; rm -rf "$_work"; fail "downloading $_uri failed or its SHA-256 sum differs from the index"; }
    mv "$_work/$EPICS_TARBALL_NAME" "$_dir/$EPICS_TARBALL_NAME"
    rm -rf "$_work"
}
