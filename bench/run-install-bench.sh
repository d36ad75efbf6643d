#!/usr/bin/env bash
# A fresh installation of 2000 files of 256 KiB through the updater's replace
# and delete lists, interleaved with "cp -r" of the same tree and one "sync",
# on the same file system. Prints each round, the medians and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target varnolt-bench-install >/dev/null

# Beside the build, so that downloads and installation share a file system (the
# downloads are then linked into place); VARNOLT_BENCH_DOWNLOADS=/dev/shm puts
# them on another one, so that they are copied.
work=$(mktemp -d "${VARNOLT_BENCH_DOWNLOADS:-$PWD/$build_dir}/install-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build_dir/bench/varnolt-bench-install" "$work" "${1:-2000}" "${2:-256}" "${3:-5}"
