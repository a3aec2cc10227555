#!/bin/bash
# The sanitizer leg: everything the default Linux build builds, instrumented
# with AddressSanitizer (leak checking on) and UndefinedBehaviorSanitizer, in
# build-sanitize/ ($SANITIZE_BUILD_DIR), and the whole ctest suite run on it:
# the C++ tests, the Tcl suites (tclsh with the sanitizer runtime preloaded,
# loading the instrumented extensions), the CA server's Python tests (the
# server instrumented).  Left out: the benchmarks (label bench) and tests
# labelled no_sanitize, for tests that cannot run instrumented (each such test
# says why beside its label); they are listed in the skip report.
#
# A report of any process the tests start fails the leg, also when the test
# does not look at that child's exit status: AddressSanitizer and
# LeakSanitizer reports are written under build-sanitize/sanitizer-reports/,
# and UndefinedBehaviorSanitizer's (which GCC's runtime writes to standard
# error only) are looked for in the tests' output.  The first
# UndefinedBehaviorSanitizer report ends its process.  Leaks that are not ours
# are suppressed in tests/sanitizer/lsan.supp, each with its reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-sanitize}
die() { echo "sanitize leg: $*" >&2; exit 1; }

"$root/tools/install-deps.sh"

# The Channel Access headers: those the Linux leg already fetched, if any.
extra=()
headers=${BUILD_DIR:-$root/build}/epics-headers
[ -f "$headers/STAMP" ] && extra+=(-DEPICS_HEADERS_DIR="$headers")

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLABTCL_SANITIZE=address,undefined "${extra[@]}" >"$build/configure.log" 2>&1 ||
    { tail -n 40 "$build/configure.log" >&2; die "configuring $build failed (log: $build/configure.log)"; }
cmake --build "$build" -j2 >"$build/build.log" 2>&1 ||
    { grep -E 'error|Error' "$build/build.log" | head -n 40 >&2; die "building $build failed (log: $build/build.log)"; }

# The runtimes of the compiler that built the tree, preloaded into every test
# process so that an uninstrumented host (tclsh, python3) can load
# instrumented code: ASan first, then the C++ runtime, whose exceptions ASan
# must see from the start (libca throws them inside a C program's process).
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
asan_rt=$("$cxx" -print-file-name=libasan.so)
cxx_rt=$("$cxx" -print-file-name=libstdc++.so)
[ -f "$asan_rt" ] || die "the ASan runtime of $cxx was not found (libasan.so)"
[ -f "$cxx_rt" ] || die "the C++ runtime of $cxx was not found (libstdc++.so)"

reports=$build/sanitizer-reports
output=$build/Testing/Temporary/LastTest.log
rm -rf "$reports" "$output"
mkdir -p "$reports"

# Tests left out: say so loudly.
skip() { echo "sanitize: $*" >>"${LABTCL_SKIP_REPORT:-/dev/null}"; echo "sanitize leg: not run: $*"; }
skip "tessaly_failures: failures-5, the valgrind leak check of context resets (valgrind cannot run an ASan-instrumented library; the linux leg runs it, and LeakSanitizer checks the same resets here)"
while read -r name; do
    skip "$name: labelled no_sanitize (cannot run instrumented; see its label's comment)"
done < <(cd "$build" && ctest -N -L no_sanitize | sed -n 's/^ *Test *#[0-9]*: *//p')

# The repeater runs uninstrumented (its whole body is libca's).
. "$root/.ci/lib/repeater.sh"
start_repeater "$build/channel_access/caRepeater"
status=0
(
    cd "$build"
    export LD_PRELOAD="$asan_rt $cxx_rt"
    export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$reports/asan"
    export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LABTCL_SANITIZER=address,undefined   # tests that cannot run instrumented skip themselves
    ctest --output-on-failure -j2 -LE 'bench|no_sanitize'
) || status=$?

if [ -f "$output" ] && grep -qE ': runtime error: |ERROR: (Address|Leak)Sanitizer|Sanitizer: CHECK failed' "$output"; then
    grep -nE -A12 ': runtime error: |ERROR: (Address|Leak)Sanitizer|Sanitizer: CHECK failed' "$output" | head -n 80 >&2
    die "SANITIZER REPORTS in the tests' output (above; all of it: $output)"
fi
if [ -n "$(ls -A "$reports")" ]; then
    for f in "$reports"/*; do
        echo "==================== sanitizer report $(basename "$f") ====================" >&2
        head -n 80 "$f" >&2
    done
    die "SANITIZER REPORTS in $reports (above)"
fi
[ $status -eq 0 ] || die "ctest failed in $build"
echo "sanitize leg: every test passed instrumented, no sanitizer report"
