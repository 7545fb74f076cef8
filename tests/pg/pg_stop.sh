#!/usr/bin/env bash
# Stops a server that pg_start.sh started and removes its directory.
# Usage: pg_stop.sh DIR
set -uo pipefail
dir=${1:?usage: pg_stop.sh DIR}
case "$dir" in */velt-pg.*) ;; *) echo "pg_stop: not a test server directory: $dir" >&2; exit 2 ;; esac
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -d "$dir/data" ]; then
  if [ "$(id -u)" = 0 ]; then
    runuser -u nobody -- "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 20 stop >/dev/null 2>&1 \
      || runuser -u nobody -- "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 10 stop >/dev/null 2>&1
  else
    "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 20 stop >/dev/null 2>&1 \
      || "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 10 stop >/dev/null 2>&1
  fi
fi
rm -rf "$dir"
