#!/usr/bin/env bash
# Many updates with random kills: random versions of a generated tree published with the release
# tool, two mirrors that cut, stall and refuse answers at random, "update --headless" to random
# versions killed at random instants; the installation is compared with the release after every
# success, and the session directories left in the updater's temporary directory are counted.
#
#   bash bench/run-soak.sh [--runs N] [--seed S] [--versions V] [--kill-rate P]
#       [--kill-window SECONDS] [--faults RATE] [--refusals RATE] [--max-seconds T]
#
# VARNOLT_BUILD_DIR names the build to use (default build-bench, built here in Release mode).
# Exits with 1 when an installation differed from its release after a successful run.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${VARNOLT_BUILD_DIR:-build-bench}
if [ -z "${VARNOLT_BUILD_DIR:-}" ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null
fi

work=$(mktemp -d "$PWD/$build_dir/soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/soak.py --build "$build_dir" --work "$work" "$@"
