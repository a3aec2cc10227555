#!/bin/bash
# The IOC leg: a soft IOC built from Debian's epics-base source (kept in the
# dependency cache, cmake/build-epics-base.sh), then the Tessaly tcltest
# files against it (those that need ca_server's injected faults are skipped
# there; the Linux leg runs them) and ca_server compared request by request
# with the IOC serving the same PVs: the ctest label ioc, in $BUILD_DIR
# (build-ioc/).  About 4 minutes on a fresh machine (3 of them building EPICS
# base, on 2 shared cores), under a minute with the cache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-ioc}
say() { echo "== ioc.sh: $*"; }
die() { echo "!! ioc.sh: $*" >&2; exit 1; }

# EPICS base's build runs perl scripts beyond perl-base.
"$root/tools/install-deps.sh" perl debian-archive-keyring

say "EPICS base (built once per machine into the dependency cache)"
base=$(sh "$root/cmake/build-epics-base.sh" | tail -n 1) || die "building EPICS base failed (see above)"
arch=$(cut -d' ' -f2 "$base/STAMP")
softioc=$base/bin/$arch/softIoc
[ -x "$softioc" ] || die "no softIoc at $softioc: delete $base and run again"

say "building Tessaly, ca_server and the test helpers in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=OFF \
      -DTEST_WITH_IOC="$softioc" >"$build/configure.log" 2>&1 ||
    { tail -n 30 "$build/configure.log" >&2; die "configuring $build failed"; }
# Only what the ioc tests run: this tree is not for installing (an install
# refuses it, naming what is not built).
cmake --build "$build" -j2 --target tessaly ca_server tessaly_context_failure tessaly_create_connected caRepeater

say "tests against $softioc"
. "$root/.ci/lib/repeater.sh"
start_repeater "$build/channel_access/caRepeater"
cd "$build" && ctest --output-on-failure -j2 -L ioc
