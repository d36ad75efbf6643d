#!/usr/bin/env bash
# Installs the dependencies, builds everything with warnings as errors and runs
# the whole test suite through CTest; then builds and runs it all again with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=${VARNOLT_BUILD_DIR:-build-test}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVARNOLT_WERROR=ON
cmake --build "$build_dir" -j"$(nproc)"
# Widgets run on the offscreen platform: no display is needed.
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build_dir" --output-on-failure -j2
# Releases published by this tree must install with the updater in the field (the
# one released at e90f0f2), and that one's releases with this tree's updater.
bash scripts/compat-test.sh "$build_dir"

# A use after free or an overflow often passes unnoticed in a plain build; in
# this one it stops the program with a report, and the test fails. The options
# go through the environment, so they also hold for the updaters and tools
# that the tests start as child processes.
asan_dir=${VARNOLT_ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$asan_dir" -DCMAKE_BUILD_TYPE=Debug -DVARNOLT_WERROR=ON -DVARNOLT_SANITIZE=ON
cmake --build "$asan_dir" -j"$(nproc)"
# Leaks are checked as well: a program that ends normally with memory of its
# own unreachable fails. What Qt keeps until exit is still reachable through
# its globals and is not reported, so no suppressions are needed.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
QT_QPA_PLATFORM=offscreen ctest --test-dir "$asan_dir" --output-on-failure -j2

# The readers of bytes from mirrors, the version server and files on disk, fuzzed for a
# bounded time (VARNOLT_FUZZ_SECONDS per target) in a clang build of their own.
bash scripts/fuzz.sh
