#!/usr/bin/env bash
# Installs the dependencies, builds the updater and runs it in a demo
# installation directory (build-demo/installation).
#
# With arguments, they are passed to the updater as they are. Without, the
# demo runs an automatic update on the alpha channel, which needs no version
# server. Without a display the window is drawn off screen, the log follows on
# standard error, and the demo ends after VARNOLT_DEMO_SECONDS (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=build-demo
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target update

install_dir="$build_dir/installation"
mkdir -p "$install_dir"
cp "$build_dir/src/update" "$install_dir/update"
cat > "$install_dir/mirrors.ini" <<'INI'
[mirrors]
size=1
1\mirror=local
[local]
url=http://127.0.0.1:8080/releases
INI

args=("$@")
if [ ${#args[@]} -eq 0 ]; then
    cat > "$install_dir/update.ini" <<'INI'
[Channel]
alpha=http://127.0.0.1:8080/releases
alphaRevno=1
INI
    args=(--nouser)
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No display: the window is drawn off screen; its log follows." >&2
    status=0
    timeout "${VARNOLT_DEMO_SECONDS:-20}" "$install_dir/update" "${args[@]}" || status=$?
    # 124: the demo's time was up while the window waited for the user.
    [ "$status" -eq 124 ] && status=0
    exit "$status"
fi
exec "$install_dir/update" "${args[@]}"
