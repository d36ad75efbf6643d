#!/usr/bin/env bash
# Updating one changed file: the updater beside zsync and a whole-file curl, on
# releases published with the release tool and served by nginx on loopback,
# interleaved in rounds. Prints bytes served (from nginx's log), requests, wall
# time and peak memory of each, and the updater's ratios to zsync.
#
#   bash bench/run-delta-bench.sh [--rounds N] [--quick] [--only random,text,gzip,dense,big]
#
# --quick uses a quarter of the sizes and changes. The 2 GiB case ("big") needs
# about 10 GB of free disk beside the build; leave it out with --only.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v nginx >/dev/null || missing+=(nginx-light)
command -v curl >/dev/null || missing+=(curl)
command -v zsync >/dev/null || missing+=(zsync)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
fi

build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null

# Beside the build, so that the session directory and the installation share a file system.
work=$(mktemp -d "$PWD/$build_dir/delta-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/deltabench.py --build "$build_dir" --work "$work" "$@"
