#!/usr/bin/env bash
# Installs what is missing, builds the host and runs it. Without a display it
# first starts a private virtual desktop (with a sample window to stream) and
# stops it again when the host ends.
set -euo pipefail
cd "$(dirname "$0")/.."
QH_SKIP_WINDOWS=1 bash scripts/setup-deps.sh
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.cache/ccache}
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux --target QuillaneHost
host=$PWD/build/linux/host/src/main/QuillaneHost

if [ -z "${DISPLAY:-}" ]; then
  desk=$PWD/build/run-desktop-$$
  # A session of its own, so that Ctrl+C reaches only the host, which then
  # shuts down in order while its display is still there.
  setsid --wait bash scripts/virtual-desktop.sh start "$desk" >/dev/null
  trap 'bash scripts/virtual-desktop.sh stop "$desk"; rm -rf "$desk"' EXIT
  # Only the display and the sound server: settings and logs stay in the user's own folders.
  eval "$(grep -E '^export (DISPLAY|PULSE_SERVER)=' "$desk/env")"
  setsid xclock -update 1 -geometry 300x300+1500+100 >/dev/null 2>&1 &
  echo "No display found: the host runs on a private virtual desktop, DISPLAY=$DISPLAY."
  echo "Take a picture of it from another terminal with:"
  echo "  DISPLAY=$DISPLAY import -window root quillane-desktop.png"
  echo "Press Ctrl+C here to end the host and the virtual desktop."
fi
status=0
"$host" || status=$?
exit $status
