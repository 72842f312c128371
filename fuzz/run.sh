#!/bin/sh
# Fuzzes the wave reader: fuzz/run.sh BUILD_DIR SECONDS
#
# BUILD_DIR is a clang build configured with -DDUDIDADU_FUZZ=ON, e.g.
#   CC=clang CXX=clang++ cmake -S . -B BUILD_DIR -G Ninja -DDUDIDADU_FUZZ=ON -DDUDIDADU_TESTS=OFF
# The seeds are generated into BUILD_DIR/fuzz-wave/seeds; what the fuzzer
# finds grows BUILD_DIR/fuzz-wave/corpus, and a failing input is kept in
# BUILD_DIR/fuzz-wave/artifacts. Exits non-zero on any crash, leak, hang or
# sanitizer report.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz-wave

cmake --build "$build" --target fuzz_wave
rm -rf "$work/seeds"
mkdir -p "$work/corpus" "$work/artifacts"
python3 "$here/make_seeds.py" "$work/seeds"

export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1"
log=$work/fuzz.log
status=0
"$build/bin/fuzz_wave" -max_total_time="$seconds" -detect_leaks=1 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$work/seeds" >"$log" 2>&1 || status=$?
tail -n 25 "$log"

# A report that did not end the run is a failure all the same.
if grep -q -E 'ERROR: (Address|Leak|Memory|Thread)Sanitizer|runtime error:|SUMMARY: ' "$log"; then
    [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ]; then
    echo "fuzz_wave: FAILED (exit $status); log: $log; inputs: $work/artifacts" >&2
    exit "$status"
fi
echo "fuzz_wave: no findings in $seconds s"
