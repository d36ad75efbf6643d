#!/usr/bin/env bash
# Takes the README's pictures of the window from a real run: the demo's
# installation of version 1 is updated to version 2 with the window shown on a
# virtual X display (Xvfb), once during the download and once after success.
# The mirror sends slowly, so that the run lasts long enough to be caught.
#
# Run by hand when the window changes; it is not part of the tests. Writes
# docs/window-running.png and docs/window-finished.png.
set -euo pipefail
cd "$(dirname "$0")/.."

# The demo builds the updater, publishes version 2 and checks a headless run.
bash scripts/run.sh >/dev/null

bash scripts/install-deps.sh xvfb x11-apps netpbm

demo="$PWD/build-demo/demo"
shots="$demo/screenshots"
rm -rf "$demo/installation" "$shots"
mkdir -p "$demo/installation" "$shots" docs
cp -a "$demo/v1/." "$demo/installation/"
cp build-demo/src/update "$demo/installation/update"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
http_port=$(free_port)
udp_port=$(free_port)
display=:$((90 + RANDOM % 100))

cat > "$demo/installation/mirrors.ini" <<INI
[mirrors]
size=1
1\\mirror=local
[local]
url=http://127.0.0.1:$http_port
INI

# A mirror that sends 16 KB a second.
python3 - "$http_port" "$demo/mirror" >"$shots/mirror.log" 2>&1 <<'PY' &
import functools, http.server, sys, time
class Slow(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, target):
        while True:
            chunk = source.read(4096)
            if not chunk:
                break
            target.write(chunk)
            time.sleep(0.25)
handler = functools.partial(Slow, directory=sys.argv[2])
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()
PY
http_pid=$!
python3 - "$udp_port" >"$shots/versionserver.log" 2>&1 <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
while True:
    data, peer = s.recvfrom(64)
    s.sendto(b"2,2,2", peer)
PY
udp_pid=$!
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >"$shots/xvfb.log" 2>&1 &
xvfb_pid=$!
update_pid=
cleanup() {
    [ -z "$update_pid" ] || kill "$update_pid" 2>/dev/null || true
    kill "$http_pid" "$udp_pid" "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

export DISPLAY=$display
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
export LANG=en_US.UTF-8 LC_ALL=C.UTF-8
export VARNOLT_UPDATE_SERVER="127.0.0.1:$udp_port"
log="$shots/update.log"
"$demo/installation/update" --nouser 2>"$log" &
update_pid=$!

# Waits until the log holds the text, at most 60 s.
wait_for() {
    for _ in $(seq 1 300); do
        grep -q "$1" "$log" && return 0
        kill -0 "$update_pid" 2>/dev/null || break
        sleep 0.2
    done
    echo "screenshot: \"$1\" did not appear; the log:" >&2
    cat "$log" >&2
    return 1
}

shoot() {
    local window
    window=$(xwininfo -root -tree | awk '/"Varnolt 3 Client Update"/ { print $1; exit }')
    [ -n "$window" ] || { echo "screenshot: the window was not found" >&2; return 1; }
    xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$1"
}

wait_for "Downloading client_linux_amd64/data/levels.dat.gz"
sleep 4
shoot docs/window-running.png
wait_for "Update successfully finished"
sleep 1
shoot docs/window-finished.png
echo "Wrote docs/window-running.png and docs/window-finished.png." >&2
