#!/usr/bin/env bash
# Starts a throwaway PostgreSQL server for tests: initdb into a fresh temporary
# directory, then pg_ctl on a free loopback port, as an unprivileged user when
# run as root. Prints two lines: the connection URI and the server's directory
# (give it to pg_stop.sh). Trust authentication: any password is accepted.
# Exits non-zero with a message on stderr when the server cannot start.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  echo "pg_start: PostgreSQL server programs not found (Debian package postgresql)" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/velt-pg.XXXXXX")
run_as() { "$@"; }
if [ "$(id -u)" = 0 ]; then
  chown nobody "$dir"
  run_as() { runuser -u nobody -- "$@"; }
fi
chmod 700 "$dir"
fail() {
  echo "pg_start: $1" >&2
  for log in "$dir/initdb.log" "$dir/server.log"; do
    [ -f "$log" ] && tail -n 20 "$log" >&2
  done
  run_as "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 10 stop >/dev/null 2>&1 || true
  rm -rf "$dir"
  exit 1
}

cd "$dir"
run_as timeout 120 "$bindir/initdb" -D "$dir/data" -U velt --auth=trust -E UTF8 --no-locale -N \
  >"$dir/initdb.log" 2>&1 || fail "initdb failed"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

started=""
for attempt in 1 2 3; do
  port=$(free_port)
  if run_as "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories=$dir -c fsync=off -c max_connections=100" \
      start >/dev/null 2>&1; then
    started=1
    break
  fi
done
[ -n "$started" ] || fail "the server did not start"
echo "$port" >"$dir/port"
echo "postgresql://velt@127.0.0.1:$port/postgres"
echo "$dir"
