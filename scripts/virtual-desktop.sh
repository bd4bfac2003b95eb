#!/usr/bin/env bash
# Private virtual desktop for tests and for running the host without a display:
# Xvfb on a free display, the jwm window manager and a PulseAudio server with a
# 48 kHz null sink, each with its own HOME and XDG_RUNTIME_DIR under <dir>.
#   virtual-desktop.sh start <dir>   starts them and writes <dir>/env
#   virtual-desktop.sh stop <dir>    stops them by the PIDs recorded at start
set -uo pipefail
cmd=${1:?start or stop}
dir=$(realpath -m "${2:?state folder}")  # absolute: PulseAudio refuses a relative HOME
geometry=${QH_DESKTOP_GEOMETRY:-1920x1080x24}

stop() {
  for f in "$dir"/*.pid; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null
    fi
    rm -f "$f"
  done
  rm -f "$dir/env"
}

case "$cmd" in
stop) stop; exit 0 ;;
start) ;;
*) echo "usage: $0 start|stop <dir>" >&2; exit 2 ;;
esac

stop
mkdir -p "$dir/home" "$dir/runtime" "$dir/pulse"
chmod 700 "$dir/runtime" "$dir/pulse"
export HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/home/.config \
       XDG_STATE_HOME=$dir/home/.local/state

# Xvfb picks a free display itself and writes its number to the given descriptor.
# Two desktops starting at once can race for the same number: try again then.
start_xvfb() {
  local fd
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 "$geometry" -nolisten tcp -ac +extension Composite \
    +extension DAMAGE +extension RANDR +extension XTEST +extension MIT-SHM >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  display=""
  for _ in $(seq 100); do
    read -r -t 0.1 -u "$fd" display && break
    kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || break
  done
  exec {fd}<&-
  [ -n "$display" ] && kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null
}
display=""
for attempt in 1 2 3 4 5; do
  start_xvfb && break
  kill "$(cat "$dir/xvfb.pid")" 2>/dev/null
  display=""
  sleep "0.$((RANDOM % 9 + 1))"
done
if [ -z "$display" ]; then
  echo "Xvfb did not start:" >&2; cat "$dir/xvfb.log" >&2; stop; exit 1
fi
export DISPLAY=:$display
for _ in $(seq 100); do
  xprop -root >/dev/null 2>&1 && break
  sleep 0.1
done

cat >"$dir/jwmrc" <<'JWM'
<?xml version="1.0"?>
<JWM>
  <Desktops width="1" height="1"/>
  <FocusModel>click</FocusModel>
</JWM>
JWM
start_jwm() {
  jwm -f "$dir/jwmrc" >>"$dir/jwm.log" 2>&1 &
  echo $! >"$dir/jwm.pid"
}
: >"$dir/jwm.log"
start_jwm

pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit \
  --log-target=stderr -L "module-native-protocol-unix socket=$dir/pulse/native auth-anonymous=1" \
  -L "module-null-sink sink_name=quillane_null rate=48000 channels=2" \
  -L "module-always-sink" >"$dir/pulse.log" 2>&1 &
echo $! >"$dir/pulse.pid"
export PULSE_SERVER=unix:$dir/pulse/native

# Wait until the window manager owns the screen and PulseAudio answers. On a
# starved machine jwm has been seen to fail its first connection: start it again.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  kill -0 "$(cat "$dir/jwm.pid")" 2>/dev/null || start_jwm
  sleep 0.1
done
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
pactl set-default-sink quillane_null >/dev/null 2>&1 || echo "warning: PulseAudio did not start" >&2

cat >"$dir/env" <<ENV
export DISPLAY=$DISPLAY
export HOME=$HOME
export XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR
export XDG_CONFIG_HOME=$XDG_CONFIG_HOME
export XDG_STATE_HOME=$XDG_STATE_HOME
export PULSE_SERVER=$PULSE_SERVER
ENV
echo "Virtual desktop on DISPLAY=$DISPLAY"
