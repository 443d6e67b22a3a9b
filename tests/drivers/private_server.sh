#!/bin/bash
# The tests' and demo's private MariaDB runs as root with a known password:
# no other local user may reach its socket, it listens on no TCP port (with
# tls: on 127.0.0.1 only, TLS only), INTO OUTFILE cannot write outside its
# own folder, a password holding a single quote works while one holding a
# double quote is refused, the password is never on a command line, and a
# folder the script did not make is refused and left as it was.
#
# usage: private_server.sh SCRIPT WORK SHARED_SOCKET
#   SCRIPT         scripts/private-mariadb.sh
#   WORK           a folder for a server of this test's own
#   SHARED_SOCKET  the socket of the server the other tests share
set -euo pipefail
script=$1 work=$2 shared=$3
fail() { echo "private_server: FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
# Deep enough that its socket path would not fit: it goes to a mktemp folder.
dir=$work/$(printf 'd%.0s' {1..60})/$(printf 'e%.0s' {1..60})
unset TECLADO_DB_SOCKET

status=0
TECLADO_DB_PASSWORD='a"b' "$script" start "$dir" > /dev/null 2> "$work/err" || status=$?
[ "$status" -eq 2 ] && grep -q 'TECLADO_DB_PASSWORD must not contain a double quote' "$work/err" \
  || fail "a password with a double quote: status $status, $(cat "$work/err")"

# A folder of the user's own (a home, /tmp) is refused: its data/ stays,
# its mode is not changed, and stop kills no process it names.
mine=$work/mine
mkdir -m 755 "$mine" "$mine/data"
echo keep > "$mine/data/file"
echo $$ > "$mine/mysqld.pid"
for action in start stop; do
  status=0
  "$script" $action "$mine" > /dev/null 2> "$work/err" || status=$?
  [ "$status" -eq 1 ] && grep -q 'was not made by this script' "$work/err" \
    || fail "$action on a folder it did not make: status $status, $(cat "$work/err")"
done
[ "$(stat -c %a "$mine")" = 755 ] && [ "$(cat "$mine/data/file")" = keep ] \
  || fail "a refused start changed $mine: mode $(stat -c %a "$mine"), data/: $(ls "$mine/data")"

# Every mariadb command line the script runs, kept: the password must be
# in none of them.
export TECLADO_DB_PASSWORD="it's-Pw-4410"
mkdir "$work/shim"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\nexec %s "$@"\n' "$work/argv" "$(command -v mariadb)" \
  > "$work/shim/mariadb"
chmod 700 "$work/shim/mariadb"
trap '"$script" stop "$dir" > /dev/null' EXIT
PATH=$work/shim:$PATH "$script" start "$dir" > /dev/null
[ -s "$work/argv" ] && ! grep -qF "$TECLADO_DB_PASSWORD" "$work/argv" \
  || fail "the password on a mariadb command line, or no mariadb run: $(cat "$work/argv")"
[ "$(stat -c %a "$dir")" = 700 ] || fail "$dir is not 0700"

socket=$(cat "$dir/socket")
pid=$(cat "$dir/mysqld.pid")
(umask 077; printf '[client]\nuser=root\npassword=%s\n' "$TECLADO_DB_PASSWORD" > "$work/root.cnf")
sql() { mariadb --defaults-file="$work/root.cnf" --socket="$socket" -N "$@"; }
[ "$(sql <<< 'SELECT 1')" = 1 ] || fail "the password $TECLADO_DB_PASSWORD does not log in"
[ "$(stat -c %a "$(dirname "$socket")")" = 700 ] || fail "$socket is not in a 0700 folder"

# Listening TCP sockets of the whole machine against the server's own, as
# hexadecimal local address:port.
listening() {
  local inodes
  inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' | sed 's/socket:\[\(.*\)\]/\1/' | sort)
  awk '$4 == "0A" {print $10, $2}' /proc/net/tcp /proc/net/tcp6 2>/dev/null | sort |
    join - <(echo "$inodes") | cut -d' ' -f2
}
[ -z "$(listening "$pid")" ] || fail "mariadbd listens on TCP: $(listening "$pid")"

outfile=$work/outfile.txt
! sql <<< "SELECT 1 INTO OUTFILE '$outfile'" 2> /dev/null && [ ! -e "$outfile" ] \
  || fail "INTO OUTFILE wrote $outfile outside the server's own folder"

# As another local user, with the password: the socket is out of reach.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
# nobody's copy of the password goes to a folder of nobody's own, which it
# reaches wherever the clone is (root's home is 0700) and no other user reads.
nobodys=$(mktemp -d -t teclado-nobody.XXXXXX)
trap '"$script" stop "$dir" > /dev/null; rm -rf "$nobodys"' EXIT
cp "$work/root.cnf" "$nobodys/nobody.cnf"
chown -R nobody:nogroup "$nobodys"
for s in "$socket" "$shared"; do
  if as_nobody mariadb --defaults-file="$nobodys/nobody.cnf" --socket="$s" -e 'SELECT 1' \
       > /dev/null 2> "$work/err" || ! grep -q "through socket" "$work/err"; then
    fail "user nobody reached $s, or failed before trying: $(cat "$work/err")"
  fi
done

# With tls: 127.0.0.1 alone, on the port it wrote; plain TCP refused, TLS
# with the server's certificate checked against its CA taken.
"$script" start "$dir" tls > /dev/null
port=$(cat "$dir/port")
pid=$(cat "$dir/mysqld.pid")
[ "$(listening "$pid")" = "$(printf '0100007F:%04X' "$port")" ] \
  || fail "with tls, mariadbd listens on $(listening "$pid"), not 127.0.0.1:$port alone"
tcp=(--host=127.0.0.1 --port="$port")
! sql "${tcp[@]}" --skip-ssl <<< 'SELECT 1' > /dev/null 2>&1 || fail "plain TCP taken with tls"
[ "$(sql "${tcp[@]}" --ssl-ca="$dir/tls/ca.pem" --ssl-verify-server-cert <<< 'SELECT 1')" = 1 ] \
  || fail "verified TLS on 127.0.0.1:$port refused"
echo "private_server: socket $socket closed to other users, no TCP (tls: 127.0.0.1:$port," \
     "TLS only), INTO OUTFILE confined, no password in argv, a folder not its own refused"
