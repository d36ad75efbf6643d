#!/usr/bin/env bash
# The updater over a shaped network of its own, beside aria2c and curl on the same work:
# three network namespaces (a client and two mirrors), nginx over HTTPS with a local CA in
# each mirror, tbf shaping on the mirrors' links and a delaying proxy for added round trips.
# Prints medians with min and max, their ratios against the goals and peak memory.
#
#   sudo bash bench/run-network-bench.sh [--rounds N] [--quick] [--only big,uneven,small]
#       [--big-size BYTES] [--big-rtt MS] [--small-count N] [--small-rtt MS]
#       [--slots N] [--streams N]
#
# Runs as root (namespaces, tc, bind mounts inside them); the host's interfaces, routes,
# firewall and CA store stay as they are. --quick uses a 256 MiB file and 500 small files.
# The full run needs about 8 GB of free disk beside the build and takes about half an hour
# with an updater that keeps to its goals; one that fetches the large file from the 20 Mbit/s
# mirror alone takes 15 minutes for each such run.
# VARNOLT_SKIP_BUILD=1 uses the build directory as it is.
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case $arg in
        # Help needs neither root, nor tools, nor a build.
        -h|--help) exec python3 bench/networkbench.py --build - --work - --help ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "run-network-bench.sh makes network namespaces: run it as root" >&2
    exit 1
fi

missing=()
command -v nginx >/dev/null || missing+=(nginx-light)
command -v curl >/dev/null || missing+=(curl)
command -v aria2c >/dev/null || missing+=(aria2)
command -v openssl >/dev/null || missing+=(openssl)
{ command -v ip && command -v tc; } >/dev/null || missing+=(iproute2)
[ -x /usr/bin/time ] || missing+=(time)
command -v python3 >/dev/null || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
fi

build_dir=${VARNOLT_BUILD_DIR:-build-bench}
if [ "${VARNOLT_SKIP_BUILD:-0}" != 1 ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null
fi

# Beside the build, so that the session directory and the installation share a file system.
work=$(mktemp -d "$PWD/$build_dir/network-bench.XXXXXX")
prefix="vnb-$$"
cleanup() {
    # The benchmark removes its namespaces itself; this is for a run killed too hard to do so.
    # Whatever still runs in a namespace of this prefix was started by this run.
    for ns in $(ip netns list 2>/dev/null | awk -v p="$prefix-" 'index($1, p) == 1 { print $1 }'); do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
# The benchmark runs in the background so that a signal reaches this script at once; it is
# passed on as SIGTERM, on which the benchmark ends its runs and removes its namespaces
# (a background job ignores SIGINT, so Ctrl-C could not be passed on as it is).
python3 bench/networkbench.py --build "$build_dir" --work "$work" --prefix "$prefix" "$@" &
bench=$!
trap 'kill -TERM "$bench" 2>/dev/null || true' INT TERM HUP
status=0
wait "$bench" || status=$?
# A signal ends the wait early, while the benchmark is still cleaning up.
while kill -0 "$bench" 2>/dev/null; do
    wait "$bench" || status=$?
done
exit "$status"
