#!/usr/bin/env bash
# Host window cost: host CPU per streamed 1080p frame with the window visible on
# the dashboard and minimised, and the idle visible host's CPU, in one run in a
# private virtual desktop wide enough for both windows side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BENCH_BUILD:-$ROOT/build/bench}
export CCACHE_DIR=${CCACHE_DIR:-$ROOT/.cache/ccache}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"${QH_JOBS:-4}" --target bench_host_window QuillaneHost qh_test_window

desk=$(mktemp -d /tmp/qh-bench-desktop.XXXXXX)
trap 'scripts/virtual-desktop.sh stop "$desk"; rm -rf "$desk"' EXIT
QH_DESKTOP_GEOMETRY=3400x1200x24 scripts/virtual-desktop.sh start "$desk" >/dev/null
scripts/with-desktop.sh "$desk" "$BUILD/host/bench/bench_host_window" "$@"
