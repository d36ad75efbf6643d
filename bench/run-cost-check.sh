#!/usr/bin/env bash
# How close "varnolt-release cost" comes to what a real update fetches from nginx.
#
#   bash bench/run-cost-check.sh [--files N] [--large N]
set -euo pipefail
cd "$(dirname "$0")/.."

command -v nginx >/dev/null || {
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y nginx-light >/dev/null
}
build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null

work=$(mktemp -d "$PWD/$build_dir/cost-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/costcheck.py --build "$build_dir" --work "$work" "$@"
