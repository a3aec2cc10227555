#!/bin/bash
# Runs one fuzz target for a number of seconds.
#   fuzz/run.sh TARGET SECONDS [LIBFUZZER_OPTION...]
# TARGET is a fuzz/TARGET_fuzz.cpp (interpreter, ca_requests).  Builds the
# libFuzzer binaries with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-fuzz/ ($FUZZ_BUILD_DIR), starts from the committed corpus
# fuzz/corpus/TARGET with the dictionary fuzz/TARGET.dict and the options in
# fuzz/TARGET.options, and keeps what it finds in build-fuzz/corpus/TARGET
# ($FUZZ_WORK_CORPUS): nothing is written into the source tree.  A fault
# leaves its input in build-fuzz/artifacts/ and ends non-zero; replay it with
#   build-fuzz/fuzz/fuzz_TARGET FILE
# Prints the run's figures: executions, executions per second, coverage.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "fuzz/run.sh: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: fuzz/run.sh TARGET SECONDS [LIBFUZZER_OPTION...]"
target=$1 seconds=$2
shift 2
[ -f "$root/fuzz/${target}_fuzz.cpp" ] ||
    die "no target '$target' (have: $(cd "$root/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||' | tr '\n' ' '))"
case $seconds in '' | *[!0-9]*) die "SECONDS must be a whole number, not '$seconds'" ;; esac

build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
work=${FUZZ_WORK_CORPUS:-$build/corpus/$target}
cc=$(command -v clang-14 || command -v clang || true)
cxx=$(command -v clang++-14 || command -v clang++ || true)
[ -n "$cc" ] && [ -n "$cxx" ] || die "clang not found (Debian packages clang-14 libclang-rt-14-dev)"

mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "fuzz/run.sh: configuring $build with $cxx"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DLABTCL_SANITIZE=address,undefined -DBUILD_FUZZERS=ON \
        -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF -DBUILD_CHANNEL_ACCESS=OFF \
        >"$build/configure.log" 2>&1 ||
        { tail -n 30 "$build/configure.log" >&2; rm -f "$build/CMakeCache.txt"; die "configuring $build failed (log: $build/configure.log)"; }
fi
cmake --build "$build" --target "fuzz_$target" -j2 >"$build/build-$target.log" 2>&1 ||
    { grep -E 'error|Error' "$build/build-$target.log" | head -n 30 >&2; die "building fuzz_$target failed (log: $build/build-$target.log)"; }

options=()
if [ -f "$root/fuzz/$target.options" ]; then
    while read -r line; do
        case $line in '' | '#'*) ;; *) options+=("$line") ;; esac
    done <"$root/fuzz/$target.options"
fi
[ -f "$root/fuzz/$target.dict" ] && options+=("-dict=$root/fuzz/$target.dict")

mkdir -p "$work" "$build/artifacts" "$build/logs"
log=$build/logs/$target.log
symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

echo "fuzz/run.sh: fuzz_$target for $seconds s (log: $log)"
status=0
# The target prints what it was doing on stdout and stderr: closed (-close_fd_mask=3);
# libFuzzer and the sanitizers keep a stream of their own for their reports.
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -malloc_limit_mb=256 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "${options[@]}" "$@" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1 &
pid=$!
wait $pid || status=$?

# The interpreter target's block lives in the namespace fuzz<pid>_; a crash
# leaves its names behind.
rm -f /dev/shm/"fuzz${pid}_"* /dev/shm/sem."fuzz${pid}_"* 2>/dev/null || true

last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
echo "fuzz/run.sh: $target: ${runs:-?} executions, ${rate:-?} exec/s, peak RSS ${rss:-?} MB, corpus $(ls "$work" | wc -l) files in $work"
[ -n "$last" ] && echo "fuzz/run.sh: $target: last status: $last"
if [ $status -ne 0 ]; then
    echo "fuzz/run.sh: $target FAILED (exit $status); the report:" >&2
    grep -vE '^#[0-9]+|^INFO:|^MERGE' "$log" | tail -n 80 >&2
    ls "$build/artifacts/$target-"* 2>/dev/null | sed 's/^/fuzz\/run.sh: input: /' >&2 || true
    exit 1
fi
