#!/usr/bin/env bash
# Installs what is missing, builds the host and runs it. Without a display it
# first starts a private virtual desktop with a sample window to stream.
set -euo pipefail
cd "$(dirname "$0")/.."
QH_SKIP_WINDOWS=1 bash scripts/setup-deps.sh
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.cache/ccache}
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux --target QuillaneHost
host=build/linux/host/src/main/QuillaneHost

if [ -z "${DISPLAY:-}" ]; then
  desk=$PWD/build/run-desktop
  bash scripts/virtual-desktop.sh start "$desk"
  trap 'bash scripts/virtual-desktop.sh stop "$desk"' EXIT
  # shellcheck disable=SC1091
  . "$desk/env"
  xclock -update 1 -geometry 400x400+100+100 >/dev/null 2>&1 &
  echo "No display found: running on a private virtual desktop ($DISPLAY)."
  echo "Look at it with: DISPLAY=$DISPLAY xwd -root | convert xwd:- desktop.png"
fi
exec "$host"
