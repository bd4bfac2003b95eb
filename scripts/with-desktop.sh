#!/usr/bin/env bash
# Runs a command inside the virtual desktop started by virtual-desktop.sh.
dir=${1:?state folder}; shift
if [ ! -f "$dir/env" ]; then echo "virtual desktop not running in $dir" >&2; exit 1; fi
# shellcheck disable=SC1091
. "$dir/env"
exec "$@"
