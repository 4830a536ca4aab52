#!/usr/bin/env bash
# The TamrixInstall demonstration, on this machine only (every server on 127.0.0.1):
#
#   rdaserver "directory"  the host table VNXHOSTS: where company ACME's server is
#   rdaserver "ACME"       the company's data server, with the LAN echo service on its
#                          port + 10000 and the HTTP tunnelling endpoint
#   pyftpdlib              the module FTP server: /OrvaneModules/v6251/Tamrix.exe
#   nginx                  the company's web server: /ACME-XModules/WebTamrix.exe, and
#                          /isapi/ in front of the tunnelling endpoint
#
# Then TamrixInstall installs the client twice, each time into a folder of its own
# under the scratch folder: over TCP/IP (Tamrix.exe by FTP) and over HTTP
# (WebTamrix.exe by HTTP GET, the TCP/IP test made to fail). With a display the
# TCP/IP run shows the window; otherwise both runs are headless. Everything started
# here is stopped at the end (by process id); the scratch folder is kept.
#
#   tools/tamrix-demo.sh [--postgres] [BIN_DIR]     (BIN_DIR defaults to build/bin)
#
# With --postgres both data servers keep their tables in PostgreSQL: a private
# cluster (scripts/pg-cluster.sh), a database each, stopped and removed at the end
# with the rest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
POSTGRES=0
if [[ ${1:-} == --postgres ]]; then POSTGRES=1; shift; fi
BIN="$(cd "${1:-$ROOT/build/bin}" && pwd)"
PY=/usr/bin/python3
[[ -x $PY ]] || PY=python3
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/tamrix-demo.XXXXXX")"
PIDS=()

say() { printf '\n\033[1m-- %s\033[0m\n' "$*"; }

cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  if ((POSTGRES)); then "$ROOT/scripts/pg-cluster.sh" drop "$WORK/pg" >/dev/null || true; fi
}
trap cleanup EXIT

free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port_is_free() {
  "$PY" -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" \
    2>/dev/null
}
wait_for_port() {  # port seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# Starts rdaserver in the background; its ready line goes to $WORK/<name>.ready.
start_rdaserver() {  # name args...
  local name=$1 i
  shift
  "$BIN/rdaserver" "$@" >"$WORK/$name.ready" 2>"$WORK/$name.log" &
  PIDS+=($!)
  for ((i = 0; i < 100; i++)); do
    if grep -q '^rdaserver ready' "$WORK/$name.ready" 2>/dev/null; then
      sed -n 's/^rdaserver ready/  '"$name"':/p' "$WORK/$name.ready"
      return 0
    fi
    sleep 0.1
  done
  echo "rdaserver $name did not start:" >&2
  cat "$WORK/$name.log" >&2
  return 1
}
ready_value() { sed -n "s/.* $2=\([0-9]*\).*/\1/p" "$WORK/$1.ready"; }

say "Scratch folder: $WORK"

# The demonstration tables in the engine's own script, and where each server
# keeps them: in memory (SQLite), or a database each in a private PostgreSQL.
DEMO_SQL="$ROOT/server/demo.sql"
ACME_DB=()
DIRECTORY_DB=()
if ((POSTGRES)); then
  say "Starting PostgreSQL (a private cluster in the scratch folder)"
  "$ROOT/scripts/pg-cluster.sh" start "$WORK/pg"
  DEMO_SQL="$ROOT/server/demo.postgres.sql"
  ACME_DB=(--db "$("$ROOT/scripts/pg-cluster.sh" uri "$WORK/pg" acme)")
  DIRECTORY_DB=(--db "$("$ROOT/scripts/pg-cluster.sh" uri "$WORK/pg" directory)")
fi

# The company ACME: the demonstration tables, made ACME's (names written as
# both engines read them).
cp "$DEMO_SQL" "$WORK/acme.sql"
cat >>"$WORK/acme.sql" <<'SQL'
UPDATE SY_MASTR SET "Comp_Name" = 'Acme Trading Ltd';
DELETE FROM SYMASTER;
INSERT INTO SYMASTER (CompanyCode, CompanyName, VersionNumber) VALUES ('ACME', 'Acme Trading Ltd', '6.251');
SQL

# The echo service must sit on the data port + 10000, where the LAN probe looks.
for ((try = 0; try < 50; try++)); do
  ACME_PORT=$(free_port)
  if ((ACME_PORT <= 55535)) && port_is_free $((ACME_PORT + 10000)); then break; fi
done
DIRECTORY_PORT=$(free_port)
while [[ $DIRECTORY_PORT == "$ACME_PORT" ]]; do DIRECTORY_PORT=$(free_port); done

cp "$DEMO_SQL" "$WORK/directory.sql"
cat >>"$WORK/directory.sql" <<SQL
UPDATE VNXHOSTS SET XPort = $ACME_PORT WHERE XCompanyCode = 'ACME';
SQL

say "Starting the data servers (rdaserver)"
start_rdaserver directory --port "$DIRECTORY_PORT" --encryption rda --init "$WORK/directory.sql" "${DIRECTORY_DB[@]}"
start_rdaserver acme --port "$ACME_PORT" --echo --encryption rda --init "$WORK/acme.sql" "${ACME_DB[@]}" \
  --http-port 0 --http-allow self --http-allow "127.0.0.1:$DIRECTORY_PORT"
TUNNEL_PORT=$(ready_value acme http)

say "Starting the module FTP server (pyftpdlib, anonymous, read-only)"
mkdir -p "$WORK/ftp/OrvaneModules/v6251"
{ echo "Tamrix client 6.251 (TCP/IP) - demonstration stand-in"; head -c 262144 /dev/urandom; } \
  >"$WORK/ftp/OrvaneModules/v6251/Tamrix.exe"
FTP_PORT=$(free_port)
"$PY" -m pyftpdlib -i 127.0.0.1 -p "$FTP_PORT" -d "$WORK/ftp" >"$WORK/ftp.log" 2>&1 &
PIDS+=($!)
wait_for_port "$FTP_PORT" 15
echo "  ftp://127.0.0.1:$FTP_PORT/OrvaneModules/v6251/Tamrix.exe"

say "Starting the company's web server (nginx)"
mkdir -p "$WORK/www/ACME-XModules" "$WORK/nginx/logs" "$WORK/nginx/tmp"
{ echo "Tamrix web client 6.251 (HTTP) - demonstration stand-in"; head -c 262144 /dev/urandom; } \
  >"$WORK/www/ACME-XModules/WebTamrix.exe"
WEB_PORT=$(free_port)
cat >"$WORK/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log $WORK/nginx/logs/access.log;
  client_body_temp_path $WORK/nginx/tmp/body;
  proxy_temp_path $WORK/nginx/tmp/proxy;
  fastcgi_temp_path $WORK/nginx/tmp/fastcgi;
  uwsgi_temp_path $WORK/nginx/tmp/uwsgi;
  scgi_temp_path $WORK/nginx/tmp/scgi;
  upstream rda_tunnel { server 127.0.0.1:$TUNNEL_PORT; keepalive 8; }
  server {
    listen 127.0.0.1:$WEB_PORT;
    location /isapi/ {
      proxy_pass http://rda_tunnel;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
      proxy_read_timeout 120s;
    }
    location / { root $WORK/www; }
  }
}
CONF
"$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/logs/error.log" \
  >"$WORK/nginx/logs/stdout.log" 2>&1 &
PIDS+=($!)
wait_for_port "$WEB_PORT" 15
echo "  http://127.0.0.1:$WEB_PORT/ACME-XModules/WebTamrix.exe, tunnel at /isapi/RdaHttp.dll"

# Where TamrixInstall finds the demonstration servers (its deployment settings).
export TAMRIX_DEMO_HOST=127.0.0.1 TAMRIX_DEMO_PORT=$ACME_PORT
export TAMRIX_DIRECTORY_HOST=127.0.0.1 TAMRIX_DIRECTORY_PORT=$DIRECTORY_PORT
export TAMRIX_MODULE_FTP_HOST=127.0.0.1 TAMRIX_MODULE_FTP_PORT=$FTP_PORT
export TAMRIX_WEB_PORT=$WEB_PORT

# The install utility runs from the folder it installs into, as a user runs it.
install_into() {  # folder args...
  local folder=$1
  shift
  mkdir -p "$folder"
  cp "$BIN/TamrixInstall" "$folder/"
  (cd "$folder" && ./TamrixInstall "$@")
}

status=0
MODE=--headless
if [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} && -z ${TAMRIX_DEMO_HEADLESS:-} ]]; then MODE=""; fi

say "Road 1: TCP/IP. TamrixInstall ACME ${MODE:-(window: press 'Test Internet Connection', then 'Install Tamrix')}"
install_into "$WORK/client-tcpip" ACME $MODE || status=1

say "Road 2: HTTP. The TCP/IP test fails (nothing listens on 127.0.0.2); the web server tunnels"
install_into "$WORK/client-http" ACME --headless --xserver 127.0.0.2 || status=1

say "What was installed"
for folder in "$WORK/client-tcpip" "$WORK/client-http"; do
  echo "  $folder:"
  (cd "$folder" && ls -l | sed -n '2,$p' | sed 's/^/    /')
  for ini in "$folder"/*.ini; do
    [[ -f $ini ]] || continue
    echo "    $(basename "$ini"):"
    sed 's/^/      /' "$ini"
  done
done
if ((status == 0)); then
  say "Both roads installed the client. Servers stopped; the scratch folder stays: $WORK"
else
  say "An install failed; the servers' logs are in $WORK"
fi
exit $status
