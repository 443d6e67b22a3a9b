#!/bin/bash
# Starts or stops a private MariaDB server for teclado's tests and demo:
# its own data folder and socket, never the system's.
#
#   private-mariadb.sh start DIR [tls]   data in DIR/data, socket DIR/mysqld.sock;
#                                        with tls also 127.0.0.1 on a free port
#                                        (written to DIR/port), TLS only
#   private-mariadb.sh stop DIR
#
# DIR must be new, or one this script made before (it leaves a marker,
# DIR/.private-mariadb, in the folders it makes): the script deletes the
# data in DIR and only ever changes a folder it made, so any other folder
# is refused and left as it was.
#
# The server runs as root, so nobody else may reach it: DIR is made 0700
# (the socket in it is then out of other users' reach), a socket path too
# long for DIR goes into a fresh mktemp -d folder, and INTO OUTFILE / LOAD
# DATA may only touch DIR/files; its temporary files stay in DIR/tmp.
#
# With tls, openssl makes a CA and a server certificate for IP 127.0.0.1
# (DIR/tls/ca.pem, server.pem, server-key.pem) at every start, and the
# server refuses plain TCP (require_secure_transport); the socket still
# takes plain connections.
#
# On start it loads sql/estado.sql and makes the password the only way in
# for root (TECLADO_DB_PASSWORD, default teclado's own, scripts/defaults.sh).
# TECLADO_DB_SOCKET, if set, is the socket path; the path in use is
# written to DIR/socket. Its folder must be this user's own and 0700, or
# is made so when missing. No password is ever put on a command line.
#
# TECLADO_DB_SERVER_OPTIONS, if set, names an option file the server reads
# (group [mariadbd]) instead of none, for a server with a binary log, a
# server_id or TLS; the binary log is then that file's to turn on, and a
# port= line in it opens that port, on 127.0.0.1 only.
set -euo pipefail

action=${1:-}
dir=${2:-}
mode=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/defaults.sh"
password=${TECLADO_DB_PASSWORD:-$default_password}
schema="$here/../sql/estado.sql"
marker=.private-mariadb
server_options=(--no-defaults --skip-log-bin)
if [ -n "${TECLADO_DB_SERVER_OPTIONS:-}" ]; then
  [ -f "$TECLADO_DB_SERVER_OPTIONS" ] && [ -r "$TECLADO_DB_SERVER_OPTIONS" ] || {
    echo "$0: TECLADO_DB_SERVER_OPTIONS: cannot read $TECLADO_DB_SERVER_OPTIONS" >&2
    exit 1
  }
  server_options=(--defaults-file="$(realpath "$TECLADO_DB_SERVER_OPTIONS")")
  grep -Eq '^[[:space:]]*port[[:space:]]*=' "$TECLADO_DB_SERVER_OPTIONS" && options_port=yes
fi

usage() { echo "usage: $0 start DIR [tls] | stop DIR" >&2; exit 2; }
[ -n "$action" ] && [ -n "$dir" ] || usage
[ -z "$mode" ] || [ "$mode" = tls ] || usage

# A single quote is fine and is doubled inside the SQL text below; the
# others would end the option file's value or the SQL string.
if [[ $password == *[\"\\$'\n']* ]]; then
  echo "$0: TECLADO_DB_PASSWORD must not contain a double quote, a backslash or a newline" >&2
  exit 2
fi
sql_password=${password//\'/\'\'}

# Only a folder this script made is ever emptied or changed.
ours() {
  [ -f "$1/$marker" ] || {
    echo "$0: $1 was not made by this script (no $1/$marker); refused, nothing changed: give a new folder" >&2
    exit 1
  }
}

stop_server() {
  local pidfile="$dir/mysqld.pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  kill -CONT "$pid" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$pidfile"
}

# A socket's folder decides who may connect: root's own and 0700 only.
private_folder() {
  [ -d "$1" ] || mkdir -m 700 -p "$1"
  [ "$(stat -c '%u %a' "$1")" = "$(id -u) 700" ] || {
    echo "$0: $1 must belong to $(id -un) with mode 700 (it is $(stat -c '%U %a' "$1"))" >&2
    exit 1
  }
}

case "$action" in
start)
  if [ -e "$dir" ] || [ -L "$dir" ]; then
    ours "$dir"
  else
    mkdir -p "$(dirname "$dir")"
    mkdir -m 700 "$dir"
    : > "$dir/$marker"
  fi
  dir=$(cd "$dir" && pwd)
  stop_server
  rm -rf "$dir/data" "$dir/files" "$dir/tls" "$dir/tmp"
  mkdir "$dir/data"
  mkdir -m 700 "$dir/files" "$dir/tmp"
  if [ -f "$dir/socketdir" ]; then rm -rf "$(cat "$dir/socketdir")"; rm -f "$dir/socketdir"; fi
  # A unix socket path must fit in 108 bytes.
  socket=${TECLADO_DB_SOCKET:-$dir/mysqld.sock}
  if [ ${#socket} -gt 100 ]; then
    socketdir=$(mktemp -d /tmp/teclado-db.XXXXXX)
    echo "$socketdir" > "$dir/socketdir"
    socket=$socketdir/mysqld.sock
  fi
  private_folder "$(dirname "$socket")"
  rm -f "$socket"
  echo "$socket" > "$dir/socket"
  network=(--skip-networking)
  [ -z "${options_port:-}" ] || network=(--bind-address=127.0.0.1)
  rm -f "$dir/port"
  if [ "$mode" = tls ]; then
    tls=$dir/tls
    mkdir -m 700 "$tls"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
      -subj "/CN=teclado test CA" -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" 2> /dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
      -keyout "$tls/server-key.pem" -out "$tls/server.csr" 2> /dev/null
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
      -CAcreateserial -days 2 -extfile <(echo "subjectAltName=IP:127.0.0.1") \
      -out "$tls/server.pem" 2> /dev/null
    # A free port the kernel picks, for the server to take at once.
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "$port" > "$dir/port"
    network=(--port="$port" --bind-address=127.0.0.1 --ssl-ca="$tls/ca.pem"
             --ssl-cert="$tls/server.pem" --ssl-key="$tls/server-key.pem"
             --require-secure-transport=ON)
  fi
  # --force: without it a machine that cannot look up its own name (no
  # /etc/hosts, as in a fresh chroot) gets no data folder at all.
  # A temporary folder of its own: servers bootstrapped at once in a shared
  # /tmp have been seen to remove each other's #sql-temptable files.
  mariadb-install-db --no-defaults --user=root --datadir="$dir/data" --skip-test-db \
    --force --tmpdir="$dir/tmp" \
    > "$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
  mariadbd "${server_options[@]}" --user=root --datadir="$dir/data" --socket="$socket" \
    "${network[@]}" --secure-file-priv="$dir/files" --pid-file="$dir/mysqld.pid" --tmpdir="$dir/tmp" \
    --log-error="$dir/error.log" --innodb-buffer-pool-size=32M > /dev/null 2>&1 &
  # Recorded now, not when mariadbd gets to it, so that a stop during start-up
  # (a Ctrl-C in the demo) still finds the server.
  echo $! > "$dir/mysqld.pid"
  for _ in $(seq 1 300); do
    [ -S "$socket" ] && mariadb --no-defaults --socket="$socket" -uroot -e 'SELECT 1' \
      > /dev/null 2>&1 && break
    if ! kill -0 $! 2>/dev/null; then
      echo "mariadbd did not start; its log:" >&2
      cat "$dir/error.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  sql() { mariadb --no-defaults --socket="$socket" -uroot; }
  sql < "$schema"
  # ALTER USER with the native plugin alone: SET PASSWORD would leave the
  # unix-socket login open besides the password. Through standard input:
  # on a command line the password would show in ps.
  sql <<< "ALTER USER 'root'@'localhost' IDENTIFIED VIA mysql_native_password
           USING PASSWORD('$sql_password');"
  echo "private MariaDB up: socket $socket, ${port:+port $port (TLS only), }data $dir/data"
  ;;
stop)
  [ -e "$dir" ] || exit 0
  ours "$dir"
  stop_server
  [ -f "$dir/socket" ] && rm -f "$(cat "$dir/socket")"
  if [ -f "$dir/socketdir" ]; then rm -rf "$(cat "$dir/socketdir")"; rm -f "$dir/socketdir"; fi
  echo "private MariaDB in $dir stopped"
  ;;
*)
  usage
  ;;
esac
