#!/usr/bin/env bash
# The updater's main job, as a demo on this machine: a client installation at
# version 1 is brought to version 2 from a local HTTP mirror that holds a
# release signed with the development key, after asking a local version
# server for the latest version.
#
# Everything lives in build-demo/: the build, the mirror tree, the
# installation. The updater runs without a window ("--headless"): its log and
# progress follow on standard error and it ends with an exit code when the run
# has ended.
#
# Arguments, if any, go to the updater instead of the default "--headless";
# "--nouser" shows the window, which stays until it is closed (drawn off screen
# without a display).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=build-demo
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release

demo="$PWD/$build_dir/demo"
rm -rf "$demo"
mkdir -p "$demo/v1" "$demo/v2" "$demo/mirror" "$demo/installation"

# Version 1 as installed, version 2 as published: one file changes, one is
# new (stored compressed on the mirror), one stays, one goes away.
make_client() {
    local dir=$1 version=$2
    mkdir -p "$dir/data"
    printf '#!/bin/sh\necho "Varnolt client %s"\n' "$version" > "$dir/vl3client_runscript.sh"
    chmod +x "$dir/vl3client_runscript.sh"
    head -c 200000 /dev/zero | tr '\0' 'v' > "$dir/data/common.dat"
    printf 'client version %s\n' "$version" > "$dir/data/version.txt"
}
make_client "$demo/v1" 1
printf 'obsolete\n' > "$demo/v1/data/obsolete.txt"
make_client "$demo/v2" 2
head -c 300000 /dev/urandom | base64 > "$demo/v2/data/levels.dat"

"$build_dir/tools/varnolt-release/varnolt-release" release --type client_linux_amd64 --version 2 \
    --source "$demo/v2" --out "$demo/mirror" --key keys/development/private.key \
    --gzip data/levels.dat --delete data/obsolete.txt --force

cp -a "$demo/v1/." "$demo/installation/"
cp "$build_dir/src/update" "$demo/installation/update"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
http_port=$(free_port)
udp_port=$(free_port)

cat > "$demo/installation/mirrors.ini" <<INI
[mirrors]
size=1
1\\mirror=local
[local]
url=http://127.0.0.1:$http_port
INI

python3 -m http.server "$http_port" --bind 127.0.0.1 --directory "$demo/mirror" \
    >"$demo/mirror.log" 2>&1 &
http_pid=$!
# The version server: every request is answered with stable, beta and alpha
# version numbers.
python3 - "$udp_port" >"$demo/versionserver.log" 2>&1 <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
while True:
    data, peer = s.recvfrom(64)
    s.sendto(b"2,2,2", peer)
PY
udp_pid=$!
trap 'kill $http_pid $udp_pid 2>/dev/null || true' EXIT
sleep 0.5

export VARNOLT_UPDATE_SERVER="127.0.0.1:$udp_port"
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--headless)

if [ "${args[0]}" != --headless ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No display: the window is drawn off screen and stays until the updater is ended." >&2
fi
status=0
"$demo/installation/update" "${args[@]}" || status=$?
echo "Demo: the updater ended with exit code $status." >&2

echo >&2
# The updater's own files beside the client: settings, mirrors, run lock, file-state cache.
own=(-x update -x update.ini -x mirrors.ini -x update.lock -x update.state -x update.release)
if diff -r "${own[@]}" "$demo/v2" "$demo/installation" >/dev/null; then
    echo "Demo: the installation now holds version 2." >&2
else
    echo "Demo: the installation differs from version 2:" >&2
    diff -r -q "${own[@]}" "$demo/v2" "$demo/installation" >&2 || true
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
