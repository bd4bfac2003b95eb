#!/usr/bin/env bash
# Pipeline benchmark: one window repainting at 72 fps, streamed by the host to
# a local client for 20 s, side by side with ffmpeg's x11grab + libx264
# (ultrafast, zerolatency, 20 Mbit/s, GOP 60). Runs in a private virtual desktop.
#   scripts/bench-pipeline.sh [--width W --height H --fps N --seconds S] [--producer-cpus LIST]
# On a machine with 4 or more CPUs the host and ffmpeg get CPUs 0 and 1 to
# themselves (--producer-cpus overrides), while the desktop, the painting window
# and the measuring client (which decodes every frame) run on the others. With
# fewer CPUs, or under `taskset -c 0,1`, all of them share.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BENCH_BUILD:-$ROOT/build/bench}
export CCACHE_DIR=${CCACHE_DIR:-$ROOT/.cache/ccache}

width=1920 height=1080
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
  --width) width=${args[i + 1]} ;;
  --height) height=${args[i + 1]} ;;
  --producer-cpus) producer=${args[i + 1]} ;;
  esac
done
cpus=$(nproc)
others=()
if [[ -z ${producer:-} && $cpus -ge 4 ]]; then
  producer=0,1
  args+=(--producer-cpus "$producer")
fi
if [[ -n ${producer:-} ]]; then
  # Everything but the producer CPUs, among those this script may use.
  rest=$(python3 -c 'import os,sys; p=set(); [p.update(range(int(a), int(b)+1)) if b else p.add(int(a)) for a,_,b in (x.partition("-") for x in sys.argv[1].split(","))]; print(",".join(str(c) for c in sorted(os.sched_getaffinity(0)-p)))' "$producer")
  [[ -n $rest ]] && others=(taskset -c "$rest")
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"${QH_JOBS:-4}" --target bench_pipeline bench_pipeline_painter QuillaneHost

desk=$(mktemp -d /tmp/qh-bench-desktop.XXXXXX)
trap 'scripts/virtual-desktop.sh stop "$desk"; rm -rf "$desk"' EXIT
# Room for the window and its frame, so x11grab sees all of it on screen.
QH_DESKTOP_GEOMETRY="$((width + 64))x$((height + 96))x24" "${others[@]}" scripts/virtual-desktop.sh start "$desk" >/dev/null
"${others[@]}" scripts/with-desktop.sh "$desk" "$BUILD/host/bench/bench_pipeline" "${args[@]}"
