#!/usr/bin/env bash
# A private PostgreSQL cluster in a folder, for the demonstration and for
# trying rdaserver on PostgreSQL by hand (the tests start their own through
# tests/support/PostgresCluster.h the same way):
#   scripts/pg-cluster.sh start DIR [PORT]   initdb into DIR when new, start postgres on
#                                            127.0.0.1:PORT (a free port when not given)
#   scripts/pg-cluster.sh stop DIR           stop it by its pid (fast shutdown)
#   scripts/pg-cluster.sh uri DIR [DBNAME]   print its URI, creating DBNAME when missing
#   scripts/pg-cluster.sh fresh DIR          a new cluster in DIR (whatever was there is stopped
#                                            and removed), its URI written to DIR/uri: the
#                                            test run's cluster (tests/CMakeLists.txt)
#   scripts/pg-cluster.sh drop DIR           stop it and remove it with its data
# The cluster trusts every connection, so it listens on loopback only. initdb
# and postgres refuse root: under root they run as nobody, with the data
# folder and the socket in a folder of nobody's under /tmp (DIR itself may sit
# where nobody cannot reach, in a build tree under /root, say); DIR/home names
# it. Otherwise they live in DIR.
set -euo pipefail

die() { echo "pg-cluster: $*" >&2; exit 1; }

bindir() {
  local d
  for d in "$(pg_config --bindir 2>/dev/null || true)" $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -rV); do
    if [[ -n "$d" && -x "$d/initdb" && -x "$d/postgres" ]]; then echo "$d"; return; fi
  done
  die "PostgreSQL server binaries not found (initdb and postgres): run ./run.sh setup"
}

# What runs a command as the cluster's owner (exec'd, so that a background
# postgres keeps the pid that $! names).
as_owner=()
if [[ $(id -u) -eq 0 ]]; then as_owner=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --); fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Where the cluster's own files are: DIR, or under root the folder DIR/home names.
home_of() {
  local dir="$1"
  if [[ $(id -u) -ne 0 ]]; then echo "$dir"; return; fi
  cat "$dir/home" 2>/dev/null || echo /nonexistent
}

running_pid() {
  local dir="$1"
  [[ -f "$dir/postgres.pid" ]] || return 1
  local pid; pid="$(cat "$dir/postgres.pid")"
  kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

cmd_start() {
  local dir="${1:?start DIR [PORT]}"
  local port="${2:-}"
  local bin; bin="$(bindir)"
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  if running_pid "$dir" >/dev/null; then die "already running in $dir"; fi
  local home; home="$(home_of "$dir")"
  if [[ ! -d "$home" ]]; then
    home="$(mktemp -d /tmp/rda-pg.XXXXXX)"
    chown nobody "$home"
    echo "$home" >"$dir/home"
  fi
  if [[ ! -f "$home/data/PG_VERSION" ]]; then
    "${as_owner[@]}" "$bin/initdb" -D "$home/data" -U postgres --auth=trust -E UTF8 --locale=C --no-sync \
      --no-instructions >"$dir/initdb.log" 2>&1 || die "initdb failed: $(cat "$dir/initdb.log")"
  fi
  [[ -n "$port" ]] || port="$(cat "$dir/port" 2>/dev/null || free_port)"
  echo "$port" >"$dir/port"
  "${as_owner[@]}" "$bin/postgres" -D "$home/data" -p "$port" -c listen_addresses=127.0.0.1 \
    -c unix_socket_directories="$home" -c max_connections=300 -c shared_buffers=32MB -c fsync=off \
    -c synchronous_commit=off -c full_page_writes=off -c wal_level=minimal -c max_wal_senders=0 \
    </dev/null >>"$dir/postgres.log" 2>&1 &
  echo $! >"$dir/postgres.pid"
  local i
  for ((i = 0; i < 600; i++)); do
    if ! running_pid "$dir" >/dev/null; then die "PostgreSQL ended while starting: $(tail -20 "$dir/postgres.log")"; fi
    if "$bin/pg_isready" -q -h 127.0.0.1 -p "$port"; then
      echo "PostgreSQL running on 127.0.0.1:$port (pid $(cat "$dir/postgres.pid"), log $dir/postgres.log)"
      return 0
    fi
    sleep 0.1
  done
  cmd_stop "$dir"
  die "PostgreSQL did not accept connections within 60 s: $(tail -20 "$dir/postgres.log")"
}

cmd_stop() {
  local dir="${1:?stop DIR}"
  local pid
  pid="$(running_pid "$dir")" || { echo "not running in $dir"; return 0; }
  kill -INT "$pid"
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$dir/postgres.pid" "$dir/uri"; echo "stopped"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$dir/postgres.pid" "$dir/uri"
  echo "killed"
}

cmd_uri() {
  local dir="${1:?uri DIR [DBNAME]}"
  local db="${2:-postgres}"
  running_pid "$dir" >/dev/null || die "not running in $dir"
  local port; port="$(cat "$dir/port")"
  if [[ ! "$db" =~ ^[a-z_][a-z0-9_]*$ ]]; then die "a database name of lower-case letters, digits and _ please: $db"; fi
  local psql; psql="$(bindir)/psql"
  if [[ "$db" != postgres ]] &&
     [[ -z "$("$psql" -h 127.0.0.1 -p "$port" -U postgres -d postgres -Atc "SELECT 1 FROM pg_database WHERE datname = '$db'")" ]]; then
    "$psql" -q -h 127.0.0.1 -p "$port" -U postgres -d postgres -c "CREATE DATABASE $db" >/dev/null
  fi
  echo "postgresql://postgres@127.0.0.1:$port/$db"
}

cmd_drop() {
  local dir="${1:?drop DIR}"
  cmd_stop "$dir" >/dev/null
  if [[ -f "$dir/home" ]]; then rm -rf "$(cat "$dir/home")"; fi
  rm -rf "$dir"
}

cmd_fresh() {
  local dir="${1:?fresh DIR}"
  cmd_drop "$dir"
  cmd_start "$dir"
  cmd_uri "$dir" >"$dir/uri"
}

case "${1:-}" in
  start) shift; cmd_start "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  uri) shift; cmd_uri "$@" ;;
  fresh) shift; cmd_fresh "$@" ;;
  drop) shift; cmd_drop "$@" ;;
  *) echo "usage: $0 start DIR [PORT] | stop DIR | uri DIR [DBNAME] | fresh DIR | drop DIR" >&2; exit 2 ;;
esac
