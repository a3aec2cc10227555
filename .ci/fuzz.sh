#!/bin/bash
# The fuzz leg: every fuzz target (fuzz/*_fuzz.cpp) runs for FUZZ_SECONDS
# (default 60) seconds, starting from the committed corpus; what it finds is
# kept in a temporary directory, never in the tree.  Fails when a target
# finds a fault: the report and the input are printed (fuzz/README.md tells how
# to replay it).  Build tree: build-fuzz/ (clang, ASan and UBSan).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}

"$root/tools/install-deps.sh"
# clang and its runtime libraries (libFuzzer, the sanitizers), and
# llvm-symbolizer for readable reports.
missing=()
for p in clang-14 libclang-rt-14-dev llvm-14; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "fuzz leg: missing packages (${missing[*]}) and not root" >&2; exit 1; }
    echo "fuzz leg: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for source in "$root"/fuzz/*_fuzz.cpp; do
    target=$(basename "$source" _fuzz.cpp)
    mkdir -p "$work/$target"
    FUZZ_WORK_CORPUS="$work/$target" "$root/fuzz/run.sh" "$target" "$seconds" || failed+=("$target")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz leg: FAULTS FOUND by: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz leg: every target ran $seconds s without a fault"
