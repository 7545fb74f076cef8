#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL server: VELT_PG_URI holds its URI
# while the command runs, and the server is stopped afterwards whatever the
# command's outcome. When the server cannot start, the command still runs with
# VELT_PG_URI empty and VELT_PG_UNAVAILABLE saying why, so it can skip.
# Usage: with_pg.sh COMMAND [ARG...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
errors=$(mktemp)
if out=$("$here/pg_start.sh" 2>"$errors"); then
  export VELT_PG_URI=$(printf '%s\n' "$out" | sed -n 1p)
  dir=$(printf '%s\n' "$out" | sed -n 2p)
  trap '"$here/pg_stop.sh" "$dir"' EXIT
  trap 'exit 130' INT TERM
  export VELT_PG_UNAVAILABLE=
else
  export VELT_PG_URI=
  export VELT_PG_UNAVAILABLE="PostgreSQL could not start: $(tr '\n' ' ' <"$errors")"
fi
rm -f "$errors"
"$@"
