#!/usr/bin/env bash
# The updater beside curl, md5sum, gzip and sync on the same work: publishes
# releases with the release tool, serves them with nginx on two loopback
# ports and runs "update --headless" against them, each run interleaved with
# its anchor. Prints medians with min and max, their ratios and peak memory.
#
#   bash bench/run-perf-bench.sh [--rounds N] [--quick] [--against BUILD]
#       [--only noop,fresh,big,gzip,memory,window,noopcache]
#
# --quick uses about a quarter of the files and bytes. The full run needs
# about 10 GB of free disk beside the build and takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v nginx >/dev/null || missing+=(nginx-light)
command -v curl >/dev/null || missing+=(curl)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
fi

build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null

# Beside the build, so that the session directory and the installation share a file system.
work=$(mktemp -d "$PWD/$build_dir/perf-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/perfbench.py --build "$build_dir" --work "$work" "$@"
