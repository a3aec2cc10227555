# Sourced by fetch_epics_headers.sh and build-epics-base.sh: the orig tarball
# of Debian's epics-base source package (the version of Debian's libca-dev and
# libcom-dev), fetched into the dependency cache by debian-source.sh, so that
# one download serves the headers and the IOC build.
#
#   epics_source_tarball     prints the path of the cached tarball, fetching
#                            it first when the cache has none
#
# Needs HERE (this directory) and a fail function.

EPICS_VERSION=7.0.3.1

epics_source_tarball() {
    sh "$HERE/debian-source.sh" bookworm epics-base "$EPICS_VERSION" ||
        fail "no epics-base $EPICS_VERSION source (see above): fetch it again, or set EPICS_BASE"
}
