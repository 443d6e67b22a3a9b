#!/bin/bash
# The tests' and demo's private MariaDB runs as root with a known password:
# no other local user may reach its socket, it listens on no TCP port, INTO
# OUTFILE cannot write outside its own folder, and a password holding a
# single quote works while one holding a double quote is refused.
#
# usage: private_server.sh SCRIPT WORK SHARED_SOCKET
#   SCRIPT         scripts/private-mariadb.sh
#   WORK           a folder for a server of this test's own
#   SHARED_SOCKET  the socket of the server the other tests share
set -euo pipefail
script=$1 work=$2 shared=$3
fail() { echo "private_server: FAIL: $*" >&2; exit 1; }

# Deep enough that its socket path would not fit: it goes to a mktemp folder.
dir=$work/$(printf 'd%.0s' {1..60})/$(printf 'e%.0s' {1..60})
unset TECLADO_DB_SOCKET
export TECLADO_DB_USER=root

status=0
TECLADO_DB_PASSWORD='a"b' "$script" start "$dir" > /dev/null 2> "$work.err" || status=$?
[ "$status" -eq 2 ] && grep -q 'TECLADO_DB_PASSWORD must not contain a double quote' "$work.err" \
  || fail "a password with a double quote: status $status, $(cat "$work.err")"

export TECLADO_DB_PASSWORD="it's"
trap '"$script" stop "$dir" > /dev/null' EXIT
"$script" start "$dir" > /dev/null
socket=$(cat "$dir/socket")
pid=$(cat "$dir/mysqld.pid")
sql() { mariadb --no-defaults --socket="$socket" -uroot -p"$TECLADO_DB_PASSWORD" -N -e "$1"; }
[ "$(sql 'SELECT 1')" = 1 ] || fail "the password it's does not log in"
[ "$(stat -c %a "$(dirname "$socket")")" = 700 ] || fail "$socket is not in a 0700 folder"

# Listening TCP sockets of the whole machine against the server's own.
inodes=$(find "/proc/$pid/fd" -lname 'socket:*' -printf '%l\n' | sed 's/socket:\[\(.*\)\]/\1/' | sort)
listening=$(awk '$4 == "0A" {print $10}' /proc/net/tcp /proc/net/tcp6 2>/dev/null | sort)
[ -z "$(comm -12 <(echo "$inodes") <(echo "$listening"))" ] || fail "mariadbd listens on TCP"

outfile=$work/outfile.txt
rm -f "$outfile"
! sql "SELECT 1 INTO OUTFILE '$outfile'" 2> /dev/null && [ ! -e "$outfile" ] \
  || fail "INTO OUTFILE wrote $outfile outside the server's own folder"

# As another local user, with the password: the socket is out of reach.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
for s in "$socket" "$shared"; do
  ! as_nobody mariadb --no-defaults --socket="$s" -uroot -p"$TECLADO_DB_PASSWORD" -e 'SELECT 1' \
      > /dev/null 2>&1 || fail "user nobody reached $s"
done
rm -f "$work.err"
echo "private_server: socket $socket closed to other users, no TCP, INTO OUTFILE confined"
