#!/usr/bin/env bash
# Many small files from an HTTP/2 mirror that ends its connections: one nginx
# with its default settings (a connection ends after 1000 requests) serves a
# release of 2001 files over plain HTTP/2 and over HTTP/1.1, and
# "update --headless" fills an emptied installation from each, interleaved.
# Prints medians with min and max, the ratio HTTP/2 / HTTP/1.1 and the
# connections each run used (nginx's log).
#
#   bash bench/run-goaway-bench.sh [--build BUILD] [--build-old OLD-BUILD]
#       [--rounds N] [--files N] [--size BYTES] [--keepalive-requests N]
#
# Without --build it configures and builds build-release (Release, through
# ccache when installed; CCACHE_DIR and CCACHE_BASEDIR are taken from the
# environment). --build-old runs another build's updater on the same work and
# reports its exit codes. About a minute (two with --build-old); 100 MB of
# disk beside the build.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v nginx >/dev/null || missing+=(nginx-light)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
fi

build_dir=
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
        --build) build_dir=${args[i + 1]:-} ;;
        --build=*) build_dir=${args[i]#--build=} ;;
        -h|--help) exec python3 bench/goawaybench.py --build - --work - --help ;;
    esac
done
if [ -z "$build_dir" ]; then
    build_dir=build-release
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF \
        "${launcher[@]}" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target update varnolt-release >/dev/null
    set -- --build "$build_dir" "$@"
fi

# Beside the build, so that the session directory and the installation share a file system.
work=$(mktemp -d "$PWD/$build_dir/goaway-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/goawaybench.py --work "$work" "$@"
