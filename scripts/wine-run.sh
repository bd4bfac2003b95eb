#!/usr/bin/env bash
# Runs a Windows test executable under Wine with the project's private prefix,
# inside the test desktop when one is running.
#   wine-run.sh --start   starts a persistent wineserver and warms the prefix
#   wine-run.sh --stop    stops that wineserver
#   wine-run.sh prog.exe [args...]
# With QH_OWN_WINEPREFIX set, prog.exe runs in that prefix instead, made for the
# run and removed after it.
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../.cache/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -n "${QH_DESKTOP_DIR:-}" ] && [ -f "$QH_DESKTOP_DIR/env" ]; then
  # shellcheck disable=SC1091
  . "$QH_DESKTOP_DIR/env"
  export WINEPREFIX=${QH_WINEPREFIX:-$here/../.cache/wineprefix}
fi

# For a program that changes its prefix for itself alone (a test that trusts a
# root certificate of its own): what it changed cannot outlive the run, and what
# a run killed outright left is removed before the next.
run_in_own_prefix() {
  export WINEPREFIX=$QH_OWN_WINEPREFIX
  local marker=$WINEPREFIX/.quillane-own-prefix
  if [ -e "$WINEPREFIX" ] && [ ! -e "$marker" ]; then
    echo "wine-run.sh: $WINEPREFIX is not a prefix this script made; not replacing it" >&2
    exit 2
  fi
  remove_prefix() {
    [ -e "$WINEPREFIX" ] || return 0
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
  }
  remove_prefix
  mkdir -p "$WINEPREFIX" && : >"$marker"
  trap remove_prefix EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
  trap 'exit 129' HUP
  # In the background, so that a signal ends the wait at once.
  wine "$@" &
  wait $!
  exit $?
}

mkdir -p "$WINEPREFIX"
case "${1:-}" in
--start)
  # The server and Wine's services outlive this call: keep them off our
  # stdout and stderr, or ctest would wait for those pipes to close.
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  exit 0 ;;
--stop)
  wineserver -k </dev/null >/dev/null 2>&1
  exit 0 ;;
esac
[ -z "${QH_OWN_WINEPREFIX:-}" ] || run_in_own_prefix "$@"
exec wine "$@"
