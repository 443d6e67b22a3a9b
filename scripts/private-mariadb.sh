#!/bin/bash
# Starts or stops a private MariaDB server for teclado's tests and demo:
# its own data folder and socket, never the system's.
#
#   private-mariadb.sh start DIR [PORT]   data in DIR/data, socket DIR/mysqld.sock;
#                                         no TCP listener unless PORT is given:
#                                         then 127.0.0.1:PORT or the next free one
#   private-mariadb.sh stop DIR
#
# The server runs as root, so nobody else may reach it: DIR is made 0700
# (the socket in it is then out of other users' reach), a socket path too
# long for DIR goes into a fresh mktemp -d folder, and INTO OUTFILE / LOAD
# DATA may only touch DIR/files.
#
# On start it loads sql/estado.sql and makes the password the only way in
# for the account teclado is built with (TECLADO_DB_USER, TECLADO_DB_PASSWORD;
# default root / tqvz). An account other than root gets INSERT on
# embarcados.estado only. TECLADO_DB_SOCKET, if set, is the socket path;
# the path in use is written to DIR/socket. Its
# folder must be this user's own and 0700, or is made so when missing.
#
# TECLADO_DB_SERVER_OPTIONS, if set, names an option file the server reads
# (group [mariadbd]) instead of none, for a server with a binary log, a
# server_id or TLS; the binary log is then that file's to turn on, and a
# port= line in it opens that port, on 127.0.0.1 only.
set -euo pipefail

action=${1:-}
dir=${2:-}
port=${3:-}
user=${TECLADO_DB_USER:-root}
password=${TECLADO_DB_PASSWORD:-tqvz}
here=$(cd "$(dirname "$0")" && pwd)
schema="$here/../sql/estado.sql"
server_options=(--no-defaults --skip-log-bin)
if [ -n "${TECLADO_DB_SERVER_OPTIONS:-}" ]; then
  [ -f "$TECLADO_DB_SERVER_OPTIONS" ] && [ -r "$TECLADO_DB_SERVER_OPTIONS" ] || {
    echo "$0: TECLADO_DB_SERVER_OPTIONS: cannot read $TECLADO_DB_SERVER_OPTIONS" >&2
    exit 1
  }
  server_options=(--defaults-file="$(realpath "$TECLADO_DB_SERVER_OPTIONS")")
  grep -Eq '^[[:space:]]*port[[:space:]]*=' "$TECLADO_DB_SERVER_OPTIONS" && options_port=yes
fi

usage() { echo "usage: $0 start DIR [PORT] | stop DIR" >&2; exit 2; }
[ -n "$action" ] && [ -n "$dir" ] || usage
[ -z "$port" ] || [[ $port =~ ^[1-9][0-9]{0,4}$ ]] || usage

# The same characters the build refuses (CMakeLists.txt); a single quote is
# fine and is doubled inside the SQL text below.
for setting in user password; do
  if [[ ${!setting} == *[\"\\$'\n']* ]]; then
    echo "$0: TECLADO_DB_${setting^^} must not contain a double quote, a backslash or a newline" >&2
    exit 2
  fi
done
sql_user=${user//\'/\'\'}
sql_password=${password//\'/\'\'}

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
  mkdir -p "$dir"
  chmod 700 "$dir"
  dir=$(cd "$dir" && pwd)
  stop_server
  rm -rf "$dir/data" "$dir/files"
  mkdir -p "$dir/data"
  mkdir -m 700 "$dir/files"
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
  if [ -n "$port" ]; then
    # Another server (a demo, a second checkout) may hold the port already;
    # any free one will do.
    first_port=$port
    while (: < "/dev/tcp/127.0.0.1/$port") 2> /dev/null; do
      port=$((port + 1))
      if [ $port -gt $((first_port + 100)) ]; then
        echo "no free port from $first_port to $port on 127.0.0.1" >&2
        exit 1
      fi
    done
    echo "$port" > "$dir/port"
    network=(--port="$port" --bind-address=127.0.0.1)
  fi
  # --force: without it a machine that cannot look up its own name (no
  # /etc/hosts, as in a fresh chroot) gets no data folder at all.
  mariadb-install-db --no-defaults --user=root --datadir="$dir/data" --skip-test-db \
    --force \
    > "$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
  mariadbd "${server_options[@]}" --user=root --datadir="$dir/data" --socket="$socket" \
    "${network[@]}" --secure-file-priv="$dir/files" --pid-file="$dir/mysqld.pid" \
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
  sql() { mariadb --no-defaults --socket="$socket" -uroot "$@"; }
  sql < "$schema"
  if [ "$user" != root ]; then
    sql -e "CREATE USER '$sql_user'@'localhost' IDENTIFIED BY '$sql_password';
            GRANT INSERT ON embarcados.estado TO '$sql_user'@'localhost';"
  fi
  # ALTER USER with the native plugin alone: SET PASSWORD would leave the
  # unix-socket login open besides the password.
  sql -e "ALTER USER 'root'@'localhost' IDENTIFIED VIA mysql_native_password
          USING PASSWORD('$sql_password');"
  echo "private MariaDB up: socket $socket, ${port:+port $port, }data $dir/data"
  ;;
stop)
  [ -d "$dir" ] || exit 0
  stop_server
  [ -f "$dir/socket" ] && rm -f "$(cat "$dir/socket")"
  if [ -f "$dir/socketdir" ]; then rm -rf "$(cat "$dir/socketdir")"; rm -f "$dir/socketdir"; fi
  echo "private MariaDB in $dir stopped"
  ;;
*)
  usage
  ;;
esac
