#!/usr/bin/env bash
# What travels when little or nothing changed: this checkout's updater and
# release tool beside those of commit c36a524, interleaved in one run over
# releases served by nginx on loopback, with md5sum, zsync and gzip -9 as
# anchors. Prints a table per measure and exits with 1 when this checkout's
# build misses a goal (see bench/metadatabench.py for the measures).
#
#   bash bench/run-metadata-bench.sh [--rounds N] [--quick]
#       [--only noop,nooptime,delta,metadata,downgrade]
#
# Both builds are Release, through ccache when installed: this checkout's in
# build-bench (VARNOLT_BUILD_DIR), c36a524's from git history in a source tree
# of its own outside the repository, VARNOLT_BENCH_BEFORE_DIR (default: beside
# the checkout, ../varnolt-bench-before), built once and reused by later runs.
# --quick shrinks file counts and large files eightfold. The full run needs
# about 15 GB of free disk beside the build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

before_commit=c36a5246066e54ae9eac5e27d6e2f112e6d18a12

missing=()
command -v nginx >/dev/null || missing+=(nginx-light)
command -v zsync >/dev/null || missing+=(zsync)
command -v openssl >/dev/null || missing+=(openssl)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
fi

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
jobs=$(nproc)

build_dir=${VARNOLT_BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOLT_BUILD_TESTS=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j"$jobs" --target update varnolt-release >/dev/null

before_dir=${VARNOLT_BENCH_BEFORE_DIR:-$(dirname "$root")/varnolt-bench-before}
if ! git cat-file -e "$before_commit^{commit}" 2>/dev/null; then
    echo "the benchmark needs commit ${before_commit:0:7} from git history" \
         "(in a shallow clone: git fetch --unshallow)" >&2
    exit 2
fi
if [ "$(cat "$before_dir/.bench-extracted" 2>/dev/null)" != "$before_commit" ]; then
    rm -rf "$before_dir"
    mkdir -p "$before_dir"
    git archive --format=tar "$before_commit" | tar -x -C "$before_dir"
    echo "$before_commit" > "$before_dir/.bench-extracted"
fi
before_build=$before_dir/build-bench
before_tool=$before_build/tools/varnolt-release/varnolt-release
if [ ! -x "$before_build/src/update" ] || [ ! -x "$before_tool" ]; then
    echo "building update and varnolt-release of ${before_commit:0:7} in $before_build"
    # As released: warnings are not errors (a newer compiler may warn where the old one did not).
    if ! { cmake -S "$before_dir" -B "$before_build" -DCMAKE_BUILD_TYPE=Release \
               -DVARNOLT_WERROR=OFF -DVARNOLT_BUILD_TESTS=OFF -DVARNOLT_SANITIZE=OFF \
               "${launcher[@]}" &&
           cmake --build "$before_build" -j"$jobs" --target update varnolt-release; } \
            >"$before_dir/bench-build.log" 2>&1; then
        tail -n 40 "$before_dir/bench-build.log" >&2
        echo "the build of ${before_commit:0:7} failed (log: $before_dir/bench-build.log)" >&2
        exit 2
    fi
fi

# Beside the build, so that the session directory and the installation share a file system.
work=$(mktemp -d "$PWD/$build_dir/metadata-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 bench/metadatabench.py --new "$build_dir" --before "$before_build" --work "$work" "$@"
