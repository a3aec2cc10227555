#!/bin/bash
# Installs the Debian packages the Linux build, its tests and the demo need,
# when they are missing.  Root, or sudo where it is available.
#   tools/install-deps.sh [PACKAGE...]    (extra packages a leg needs)
set -euo pipefail

packages=(
    g++ cmake make pkg-config   # the build
    tcl tcl-dev                 # tclsh, tcl.h, libtcl8.6
    libca-dev libcom-dev        # Channel Access client library (headers come from the source package)
    apt tar gzip xz-utils ca-certificates debian-archive-keyring   # fetching those headers
    perl                        # EPICS's own build (base, PV Access), run by the configure step into the dependency cache
    libgtest-dev                # C++ tests
    libbenchmark-dev            # benchmarks
    python3 python3-pyepics     # the Channel Access server's tests
    procps                      # kill, used by the tests
    valgrind                    # leak checks of the Tessaly resets
    tk fonts-dejavu-core        # the scan panel (wish) and a font for it
    xvfb libtk-img              # its test: a headless X display, and Img's window grab for the screenshot
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=
elif command -v sudo >/dev/null; then
    sudo=sudo
else
    echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another install may hold the package lock (a second build on this machine):
# wait for it rather than fail.
lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${lock[@]}" update -qq
$sudo apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
