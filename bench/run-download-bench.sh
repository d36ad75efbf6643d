#!/usr/bin/env bash
# Serves a 1 GiB file from a local HTTP server in another process and
# downloads it through the updater's download task, printing the throughput
# and the peak memory of the downloading process.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target varnolt-bench-download >/dev/null

work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/mirror/0"
size=$((1024 * 1024 * 1024))
head -c "$size" /dev/urandom > "$work/mirror/0/big.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/mirror" >/dev/null 2>&1 &
server=$!
sleep 1
"$build_dir/bench/varnolt-bench-download" "http://127.0.0.1:$port" big.bin "$work/big.bin" "$size"
