#!/usr/bin/env bash
# Runs a Windows test executable under Wine with the project's private prefix,
# inside the test desktop when one is running.
#   wine-run.sh --start   starts a persistent wineserver and warms the prefix
#   wine-run.sh --stop    stops that wineserver
#   wine-run.sh prog.exe [args...]
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../.cache/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -n "${QH_DESKTOP_DIR:-}" ] && [ -f "$QH_DESKTOP_DIR/env" ]; then
  # shellcheck disable=SC1091
  . "$QH_DESKTOP_DIR/env"
  export WINEPREFIX=${QH_WINEPREFIX:-$here/../.cache/wineprefix}
fi
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
exec wine "$@"
