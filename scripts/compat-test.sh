#!/usr/bin/env bash
# Cross-version check: installations in the field run the updaters that were
# released at commits e90f0f2 and 0b85cd8, and mirrors may still hold releases
# their tools published. Both must keep working with today's code:
#
#   new publishes, old installs  today's varnolt-release writes a release that
#                                each released updater installs;
#   old publishes, new installs  each released varnolt-release writes a release
#                                that today's updater installs;
#   new publishes, new installs  today's tool and updater, once, for what the
#                                released ones know nothing of: the release's
#                                empty directories are created.
#
# The published tree holds empty directories and a file link inside it, which
# every updater must install (the released ones without the directories);
# today's tool must refuse a tree with a link that leaves it.
#
#     bash scripts/compat-test.sh [BUILD_DIR]
#
# BUILD_DIR (default build-test) is a build of the current tree holding
# src/update and tools/varnolt-release/varnolt-release; this script does not
# build it. The released updaters and tools are built once from git history into
# build-compat/build-COMMIT (Release, no tests) and reused by later runs.
# Everything a run makes lives in build-compat/work, emptied at each start.
# Each direction runs `update --headless` against a local HTTP mirror and a
# local version server (both on 127.0.0.1 only) and compares the installation
# with the published tree by SHA-256.
#
# Environment: VARNOLT_COMPAT_DIR (default build-compat) moves the old build
# and the work tree, VARNOLT_COMPAT_JOBS (default: the number of cores, at
# most 2) the parallel jobs of the old build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

old_commits=(e90f0f2aa9068b07977e830b18d9701a4eee5a49 0b85cd82fb6ef4e86e5ac65071b9d44d250e18de)
client_type=client_linux_amd64
release_version=7
installed_version=6
run_timeout=180

fail() {
    echo "compat: FAILED: $*" >&2
    exit 1
}

build_dir=${1:-build-test}
[ $# -le 1 ] || fail "usage: bash scripts/compat-test.sh [BUILD_DIR]"
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
new_update=$build_dir/src/update
new_tool=$build_dir/tools/varnolt-release/varnolt-release
[ -x "$new_update" ] || fail "no updater at $new_update: build the current tree first (cmake --build $build_dir)"
[ -x "$new_tool" ] || fail "no release tool at $new_tool: build the current tree first (cmake --build $build_dir)"

command -v git >/dev/null || fail "git is needed to take the released commits from history"
git rev-parse --git-dir >/dev/null 2>&1 || fail "$root is not a git work tree: the released commits cannot be taken from history"
for old_commit in "${old_commits[@]}"; do
    if ! git cat-file -e "$old_commit^{commit}" 2>/dev/null; then
        shallow=$(git rev-parse --is-shallow-repository 2>/dev/null || echo false)
        [ "$shallow" = true ] && why="this is a shallow clone" || why="the commit is not in this repository"
        echo "compat: SKIPPED: the cross-version check needs commit ${old_commit:0:7} from git history, and $why (fetch it with: git fetch --unshallow)."
        exit 0
    fi
done

compat_dir=${VARNOLT_COMPAT_DIR:-build-compat}
case $compat_dir in /*) ;; *) compat_dir=$root/$compat_dir ;; esac
work=$compat_dir/work

# --- The released updaters and tools, built once -------------------------------

# build_old COMMIT: builds update and varnolt-release of COMMIT into
# $compat_dir/build-SHORT unless a build of it is there already.
build_old() {
    local old_commit=$1
    local old_short=${old_commit:0:7}
    local old_source=$compat_dir/source-$old_short
    local old_build=$compat_dir/build-$old_short
    local stamp=$old_build/compat-stamp
    if [ -x "$old_build/src/update" ] && [ -x "$old_build/tools/varnolt-release/varnolt-release" ] &&
       [ "$(cat "$stamp" 2>/dev/null)" = "$old_commit" ]; then
        echo "compat: using the cached build of $old_short in $old_build"
        return 0
    fi
    rm -f "$stamp"
    local jobs=${VARNOLT_COMPAT_JOBS:-$(nproc)}
    [ "$jobs" -le 2 ] || jobs=2
    if [ "$(cat "$old_source/.compat-extracted" 2>/dev/null)" != "$old_commit" ]; then
        rm -rf "$old_source"
        mkdir -p "$old_source"
        git archive --format=tar "$old_commit" | tar -x -C "$old_source"
        echo "$old_commit" > "$old_source/.compat-extracted"
    fi
    mkdir -p "$old_build"
    local log=$old_build/compat-build.log
    echo "compat: building update and varnolt-release of $old_short in $old_build (log: $log)"
    # The old code is built as released: warnings are not errors (a newer
    # compiler may warn where the old one did not), no tests, no sanitizers.
    if ! { cmake -S "$old_source" -B "$old_build" -DCMAKE_BUILD_TYPE=Release \
               -DVARNOLT_WERROR=OFF -DVARNOLT_BUILD_TESTS=OFF -DVARNOLT_SANITIZE=OFF &&
           cmake --build "$old_build" -j"$jobs" --target update varnolt-release; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "the build of $old_short failed (whole log: $log)"
    fi
    echo "$old_commit" > "$stamp"
}

for old_commit in "${old_commits[@]}"; do
    build_old "$old_commit"
done

# --- Local version server and HTTP mirror --------------------------------------

rm -rf "$work"
mkdir -p "$work/mirrors" "$work/tmp"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 10 s for FILE to hold a line matching PATTERN while process PID
# lives; prints the first match.
wait_for_line() {
    local file=$1 pattern=$2 pid=$3 what=$4 i line
    for i in $(seq 100); do
        line=$(grep -m1 -E "$pattern" "$file" 2>/dev/null || true)
        if [ -n "$line" ]; then
            echo "$line"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || { cat "$file" >&2; fail "$what ended at start-up"; }
        sleep 0.1
    done
    cat "$file" >&2
    fail "$what did not start within 10 s"
}

# Both servers take a free port from the system and say which: no port is
# guessed, so parallel runs on one machine do not collide.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/mirrors" >"$work/http.log" 2>&1 &
pids+=($!)
http_port=$(wait_for_line "$work/http.log" 'port [0-9]+' "${pids[-1]}" "the HTTP mirror" |
            sed -E 's/.*port ([0-9]+).*/\1/')

# The version server answers every request with the stable, beta and alpha
# versions, as the real one does.
python3 -u - "$release_version" >"$work/versionserver.log" 2>&1 <<'PY' &
import socket, sys
version = sys.argv[1].encode()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print("listening on port %d" % s.getsockname()[1], flush=True)
while True:
    data, peer = s.recvfrom(512)
    s.sendto(version + b"," + version + b"," + version, peer)
PY
pids+=($!)
udp_port=$(wait_for_line "$work/versionserver.log" 'port [0-9]+' "${pids[-1]}" "the version server" |
           sed -E 's/.*port ([0-9]+).*/\1/')

export VARNOLT_UPDATE_SERVER=127.0.0.1:$udp_port
# Session directories go below the work tree, not into the machine's /tmp.
export TMPDIR=$work/tmp
unset DISPLAY WAYLAND_DISPLAY VARNOLT_BOX_ANSWERS

# --- Client trees ---------------------------------------------------------------

# The release: a script, a nested subdirectory, a large file stored gzipped,
# an empty file, names with a space and with non-ASCII letters, empty
# directories (one below another that holds nothing else) and a file link
# inside the tree, published as its target's content.
make_release_tree() {
    local dir=$1
    mkdir -p "$dir/data/levels/deep" "$dir/lib" "$dir/data/cache" "$dir/share/fonts/local"
    printf '#!/bin/sh\necho "Varnolt client %s"\n' "$release_version" > "$dir/vl3client_runscript.sh"
    chmod +x "$dir/vl3client_runscript.sh"
    head -c 200000 /dev/zero | tr '\0' 'v' > "$dir/data/common.dat"
    printf 'client version %s\n' "$release_version" > "$dir/data/version.txt"
    head -c 300000 /dev/urandom | base64 > "$dir/lib/libbig.so"
    head -c 4096 /dev/urandom > "$dir/data/levels/deep/map 01.bin"
    printf 'Grüße\n' > "$dir/data/levels/übersicht.txt"
    : > "$dir/data/empty.cfg"
    ln -s version.txt "$dir/data/current.txt"
}

# The installation before the run: the previous version, with one file that
# stays as it is, one that changes, one that the release deletes.
make_installation() {
    local dir=$1 release=$2 updater=$3 mirror_url=$4
    mkdir -p "$dir/data" "$dir/old"
    cp "$release/data/common.dat" "$dir/data/common.dat"
    printf 'client version %s\n' "$installed_version" > "$dir/data/version.txt"
    printf '#!/bin/sh\necho "Varnolt client %s"\n' "$installed_version" > "$dir/vl3client_runscript.sh"
    printf 'obsolete\n' > "$dir/old/removed.txt"
    cp "$updater" "$dir/update"
    cat > "$dir/update.ini" <<INI
[update]
streams=4

[Channel]
beta=false

[installed]
type=$client_type
version=$installed_version
INI
    cat > "$dir/mirrors.ini" <<INI
[mirrors]
size=1
1\\mirror=local

[local]
url=$mirror_url
retries=5
slots=4
INI
}

# Every file below DIR with its SHA-256, the updater's own files in the top
# directory left out.
file_list() {
    (cd "$1" && find . -mindepth 1 ! -type d -print0 | sort -z | xargs -0 -r sha256sum) |
        grep -v -E '  \./(update|update\.ini|update\.ini\.lock|update\.lock|update\.state|update\.release|mirrors\.ini)$' || true
}

# Every directory below DIR.
directory_list() {
    (cd "$1" && find . -mindepth 1 -type d | LC_ALL=C sort)
}

# The value of KEY in [GROUP] of an ini file.
ini_value() {
    awk -v group="[$2]" -v key="$3" '
        /^\[/ { in_group = ($0 == group); next }
        in_group && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
    ' "$1"
}

# run_direction NAME TOOL UPDATER NOTE EXPECTED_FILE DIRECTORIES RELEASE_OPTION...
# EXPECTED_FILE, unless empty, must be among the files the tool writes into
# the version directory. With DIRECTORIES "all", the installation must have
# every directory of the published tree, the empty ones included (it may hold
# more: old/ stays, since no earlier release on the mirror says it went).
run_direction() {
    local name=$1 tool=$2 updater=$3 note=$4 expected=$5 directories=$6
    shift 6
    local dir=$work/$name
    local mirror=$work/mirrors/$name
    local installation=$dir/installation
    mkdir -p "$dir" "$mirror"

    make_release_tree "$dir/client"
    if ! "$tool" release --type "$client_type" --version "$release_version" --source "$dir/client" \
            --out "$mirror" --gzip lib/libbig.so --delete old/removed.txt "$@" \
            >"$dir/release.log" 2>&1; then
        cat "$dir/release.log" >&2
        fail "$name: publishing with $tool failed"
    fi
    [ -z "$expected" ] || [ -f "$mirror/$release_version/$expected" ] ||
        fail "$name: the release, published with $note, has no $expected"
    local published
    published=$(cd "$mirror/$release_version" && find . -maxdepth 1 -type f -printf '%f\n' | sort | paste -s -d ' ')

    make_installation "$installation" "$dir/client" "$updater" "http://127.0.0.1:$http_port/$name"

    # In the background, so that a signal to this script is handled at once
    # (cleanup stops the run, which rolls back) rather than after the run.
    local status=0
    timeout --kill-after=10 "$run_timeout" "$installation/update" --headless >"$dir/update.log" 2>&1 &
    pids+=($!)
    wait "${pids[-1]}" || status=$?
    unset 'pids[-1]'
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$dir/update.log" >&2
        [ "$status" -ne 124 ] || fail "$name: the updater did not end within $run_timeout s (log: $dir/update.log)"
        fail "$name: the updater ended with exit code $status (log: $dir/update.log)"
    fi

    [ ! -e "$installation/old/removed.txt" ] ||
        fail "$name: old/removed.txt, deleted by the release, is still installed"
    if ! diff <(file_list "$dir/client") <(file_list "$installation") >"$dir/difference.txt"; then
        cat "$dir/difference.txt" >&2
        fail "$name: the installation differs from the published tree (< published, > installed)"
    fi
    if [ "$directories" = all ]; then
        local lacking
        lacking=$(comm -23 <(directory_list "$dir/client") <(directory_list "$installation") | paste -s -d ' ')
        [ -z "$lacking" ] || fail "$name: the installation lacks directories of the published tree: $lacking"
    fi
    # Installed files are for every user of the machine: both updaters give a plain
    # file a new file's mode (no session's owner-only mode may leak into the client).
    local private
    private=$(cd "$installation" && find . -type f -perm -0400 ! -perm -0004 ! -name 'update*' ! -name mirrors.ini -print | sort | paste -s -d ' ')
    [ -z "$private" ] || [ "$(umask)" != 0022 ] ||
        fail "$name: installed files other users cannot read: $private"
    local recorded
    recorded=$(ini_value "$installation/update.ini" installed version)
    [ "$recorded" = "$release_version" ] ||
        fail "$name: update.ini records installed version '$recorded', not $release_version"

    local files requests
    files=$(file_list "$dir/client" | wc -l)
    requests=$(grep -c "\"GET /$name/" "$work/http.log" || true)
    # Today's updater keeps the release's metadata: run again, it asks the mirror nothing,
    # whichever tool published the release.
    if [ "$updater" = "$new_update" ]; then
        [ -f "$installation/update.release" ] || fail "$name: no update.release was kept"
        "$installation/update" --headless >"$dir/again.log" 2>&1 ||
            { tail -n 20 "$dir/again.log" >&2; fail "$name: the run after the update failed"; }
        local again
        again=$(grep -c "\"GET /$name/" "$work/http.log" || true)
        [ "$again" -eq "$requests" ] ||
            fail "$name: the run after the update made $((again - requests)) requests (log: $dir/again.log)"
    fi
    echo "compat: $name: OK: $files files installed, old/removed.txt deleted, $requests downloads;" \
         "release files: $published (published with $note)"
}

# --- Both directions with each released commit, then the new pair -------------

new_options=(--key keys/development/private.key)
new_note="one key"
new_expected=
# A tool that signs with several keys and binds an expiry writes more beside
# TYPE.ini; the released updater, which trusts only the development key, must
# still install such a release.
if "$new_tool" release --help 2>&1 | grep -q -- '--expires-in'; then
    mkdir -p "$work/keys"
    "$new_tool" keygen "$work/keys/second-public.key" "$work/keys/second-private.key" \
        >"$work/keys/keygen.log" 2>&1 || { cat "$work/keys/keygen.log" >&2; fail "keygen of the current tool failed"; }
    new_options+=(--key "$work/keys/second-private.key" --expires-in 30)
    new_note="two keys, --expires-in 30"
    # Block lists for every file in the side file: the released updater never reads it.
    if "$new_tool" release --help 2>&1 | grep -q -- '--block-lists-from'; then
        new_options+=(--block-lists-from 1)
        new_note+=", block lists"
    fi
    new_expected=$client_type.ini.sigs
fi

# A link that leaves the tree would publish the build machine's file.
mkdir -p "$work/escaping/client/data"
printf 'client\n' > "$work/escaping/client/data/version.txt"
ln -s "$work/outside.txt" "$work/escaping/client/data/host.txt"
printf 'the build machine\n' > "$work/outside.txt"
status=0
"$new_tool" release --type "$client_type" --version "$release_version" --source "$work/escaping/client" \
    --out "$work/escaping/mirror" --follow-dir-links --key keys/development/private.key \
    >"$work/escaping/release.log" 2>&1 || status=$?
[ "$status" -eq 3 ] && grep -q "link leaves the source tree: data/host.txt -> $work/outside.txt" "$work/escaping/release.log" ||
    { cat "$work/escaping/release.log" >&2; fail "a link leaving the tree was not refused (exit code $status)"; }
[ ! -e "$work/escaping/mirror" ] || fail "the refused release wrote $work/escaping/mirror"
echo "compat: a link leaving the tree is refused"

for old_commit in "${old_commits[@]}"; do
    old_short=${old_commit:0:7}
    old_build=$compat_dir/build-$old_short
    echo "compat: updater and release tool of $old_short against $build_dir"
    run_direction "new-publishes-$old_short-installs" "$new_tool" "$old_build/src/update" \
        "$new_note" "$new_expected" files "${new_options[@]}"
    run_direction "$old_short-publishes-new-installs" "$old_build/tools/varnolt-release/varnolt-release" \
        "$new_update" "one key" "" files --key keys/development/private.key
done

run_direction new-publishes-new-installs "$new_tool" "$new_update" "$new_note" "$new_expected" all \
    "${new_options[@]}"
echo "compat: all directions passed"
