#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time, two at a time, each on a scratch copy of its seed corpus in
# fuzz/corpus/<target>/: the repository never receives the inputs the fuzzer makes.
#
# A crash, a leak, a timeout, running out of memory, a sanitizer report or a broken property
# (a line "==FUZZ== property broken: ...") fails the script, naming the target and the input
# that shows it (kept under the build directory, in fuzz-artifacts/<target>/).
#
#   VARNOLT_FUZZ_SECONDS     how long each target runs (default 60)
#   VARNOLT_FUZZ_BUILD_DIR   the build directory (default build-fuzz)
#   VARNOLT_FUZZ_TARGETS     the targets to run, separated by blanks (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh clang libclang-rt-dev

build_dir=${VARNOLT_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${VARNOLT_FUZZ_SECONDS:-60}
targets=(${VARNOLT_FUZZ_TARGETS:-fuzz_product_ini fuzz_side_file fuzz_signature_file
    fuzz_version_answer fuzz_content_range fuzz_session_record fuzz_block_list
    fuzz_byte_ranges})

# Optimised: it builds in a quarter more time than a Debug build and runs the slower targets
# twice as fast. Its configure warns that the build trusts the development key, which is
# what a build that is never shipped should do; the output is shown only when configure fails.
mkdir -p "$build_dir"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOLT_FUZZ=ON -DVARNOLT_BUILD_TESTS=OFF >"$build_dir/configure.log" 2>&1 \
    || { cat "$build_dir/configure.log" >&2; exit 1; }
cmake --build "$build_dir" -j2 --target varnolt-fuzz

build_dir=$(cd "$build_dir" && pwd)
artifacts="$build_dir/fuzz-artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Sanitizer reports stop the target, and libFuzzer keeps the input that caused them.
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# run_target NAME: fuzzes NAME; its outcome goes to $scratch/NAME.result.
run_target() {
    local name=$1
    local work="$scratch/$name"
    local kept="$artifacts/$name"
    rm -rf "$kept"
    mkdir -p "$work/corpus" "$work/tmp" "$kept"
    cp -R "fuzz/corpus/$name/." "$work/corpus/"
    local status=0
    # The target's scratch files and directories go to its own temporary directory.
    (cd "$work" && TMPDIR="$work/tmp" "$build_dir/fuzz/$name/$name" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$kept/" \
        "$work/corpus" >"$kept/log" 2>&1) || status=$?
    local found
    found=$(find "$kept" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' \
        -o -name 'timeout-*' -o -name 'oom-*' \) | sort | tr '\n' ' ')
    if [ "$status" -ne 0 ] || [ -n "$found" ] \
        || grep -qE "runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|==FUZZ==" \
            "$kept/log"; then
        {
            echo "FAILED $name (exit code $status), log: $kept/log"
            grep -E "==FUZZ==|runtime error:|ERROR: |SUMMARY: " "$kept/log" | head -5 || true
            echo "  reproduce: $build_dir/fuzz/$name/$name ${found:-<no input kept; see the log>}"
        } >"$scratch/$name.result"
    else
        local runs
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$kept/log")
        echo "ok $name: ${runs:-?} inputs in ${seconds} s" >"$scratch/$name.result"
    fi
}

started=$(date +%s)
for name in "${targets[@]}"; do
    [ -d "fuzz/corpus/$name" ] || { echo "fuzz/corpus/$name is missing" >&2; exit 1; }
    # Two at a time: one per core.
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do
        wait -n || true
    done
    run_target "$name" &
done
wait

failed=0
for name in "${targets[@]}"; do
    if [ -f "$scratch/$name.result" ]; then
        cat "$scratch/$name.result"
    else
        echo "FAILED $name: it could not be started"
    fi
    grep -qs '^ok ' "$scratch/$name.result" || failed=1
done
echo "Fuzzing took $(($(date +%s) - started)) s"
exit "$failed"
