#!/bin/sh
# The one place outside every clone where what is built from source (Windows
# Tcl, Tcl 9, EPICS base and its IOC) and the source tarballs are kept, so
# that every build tree and every clone on a machine reuses them and a fresh
# machine builds each once.  Entries are directories named by what, version
# and host ("wintcl-8.6.13-x86_64-w64-mingw32"); an entry is complete when its
# STAMP file exists.
#
# Root: $LABTCL_CACHE when set; else /var/cache/labtcl when it can be made
# and written (root, CI); else ${XDG_CACHE_HOME:-$HOME/.cache}/labtcl.
#
# As a command:
#   sh deps-cache.sh root            prints the root (made if missing)
# Sourced by the build scripts, it gives:
#   deps_cache_root                  prints the root (made if missing)
#   deps_cache_lock ENTRY            takes an exclusive lock for ENTRY on
#                                    descriptor 9 (held until the script
#                                    ends or `exec 9>&-`), so that two builds
#                                    never make one entry at the same time

deps_cache_root() {
    if [ -n "${LABTCL_CACHE:-}" ]; then
        dir=$LABTCL_CACHE
    elif mkdir -p /var/cache/labtcl 2>/dev/null && [ -w /var/cache/labtcl ]; then
        dir=/var/cache/labtcl
    else
        dir=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/labtcl
    fi
    mkdir -p "$dir" || { echo "deps-cache: cannot make $dir (set LABTCL_CACHE)" >&2; return 1; }
    (cd "$dir" && pwd)
}

deps_cache_lock() {
    _root=$(deps_cache_root) || return 1
    exec 9>"$_root/$1.lock"
    if command -v flock >/dev/null 2>&1; then
        flock 9 || { echo "deps-cache: cannot lock $_root/$1.lock" >&2; return 1; }
    fi
}

if [ "${0##*/}" = deps-cache.sh ] && [ "${1:-}" = root ]; then
    deps_cache_root
fi
