#!/usr/bin/env bash
# Installs the dependencies, builds everything with warnings as errors and runs
# the whole test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=${VARNOLT_BUILD_DIR:-build-test}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVARNOLT_WERROR=ON
cmake --build "$build_dir" -j"$(nproc)"
# Widgets run on the offscreen platform: no display is needed.
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build_dir" --output-on-failure -j2
