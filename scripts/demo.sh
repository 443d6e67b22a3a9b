#!/bin/bash
# Runs teclado on this PC: the simulated keypad fed with key actions, the
# events stored by a private MariaDB server, then the stored rows shown and
# summed up per key by teclado-relatorio.
#
#   scripts/demo.sh           plays scripts/demo.keys
#   scripts/demo.sh FILE      plays FILE (press K / release K / wait MS lines)
#   scripts/demo.sh -         key actions typed on the terminal; Ctrl-C ends
#
# Installs the packages, builds into build/, keeps the server's data in
# build/demo-db (socket only, no TCP port) and stops
# everything it started when it ends, also on Ctrl-C or an error.
set -euo pipefail

usage() { echo "usage: $0 [FILE | -]" >&2; exit 2; }
[ $# -le 1 ] || usage
keys=${1:-}
# Resolved before the cd below, so a path relative to the caller still works.
if [ -z "$keys" ]; then
  keys=$(cd "$(dirname "$0")" && pwd)/demo.keys
elif [ "$keys" != - ]; then
  if [ ! -f "$keys" ] || [ ! -r "$keys" ]; then echo "$0: cannot read $keys" >&2; exit 2; fi
  keys=$(realpath -- "$keys")
fi
cd "$(dirname "$0")/.."
root=$(pwd)

dbdir=$root/build/demo-db
teclado_pid=
db_started=false
interrupted=false
private=

cleanup() {
  trap '' INT TERM
  if [ -n "$teclado_pid" ]; then
    kill "$teclado_pid" 2>/dev/null || true
    wait "$teclado_pid" 2>/dev/null || true
  fi
  if $db_started; then
    scripts/private-mariadb.sh stop "$dbdir" > /dev/null || true
  fi
  if [ -n "$private" ]; then rm -rf "$private"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bash scripts/install-deps.sh
cmake -S . -B build
# Only the program: the demo should not wait for, or fail on, the tests.
cmake --build build -j2 --target teclado teclado-relatorio
# The key codes, from src/mapa_do_teclado.h.
. build/mapa_do_teclado.sh
. scripts/defaults.sh

# teclado reads its settings from a file of the demo's own, not from an
# /etc/teclado/teclado.cnf this machine may have: the defaults, spelled
# out, the password left to its default. The demo's reading account
# (root) is in a 0600 file too, never on a command line.
private=$(mktemp -d)
printf '[teclado]\nhost=localhost\nuser=root\ndatabase=embarcados\n' > "$private/teclado.cnf"
printf '[client]\nuser=root\npassword=%s\n' "$default_password" > "$private/.my.cnf"

db_started=true
scripts/private-mariadb.sh start "$dbdir"
socket=$(cat "$dbdir/socket")

echo
if [ "$keys" = - ]; then
  echo "demo: type key actions, one per line: press K, release K, wait MS"
  rows=$(printf '%s %s %s %s / ' $TECLADO_CODIGOS)
  echo "demo: keys ${rows% / }; Ctrl-C ends"
else
  # The program never exits by itself: give it the script's waits plus a
  # second for the last events to be stored, then stop it.
  total_ms=$(awk '{ sub(/\r$/, "") } $1 == "wait" && NF == 2 && $2 ~ /^[0-9]+$/ { t += $2 }
                  END { print t + 0 }' "$keys")
  echo "demo: playing ${keys#"$root"/} (${total_ms} ms of waits)"
  deadline=$(( $(date +%s%3N) + total_ms + 1000 ))
fi
echo "---- teclado ----"

# Ctrl-C now ends the run only: the rows are still shown afterwards.
trap 'interrupted=true' INT
# An explicit redirection, because a background command's standard input
# would otherwise be /dev/null.
if [ "$keys" = - ]; then
  TECLADO_CONFIG=$private/teclado.cnf MYSQL_UNIX_PORT=$socket build/teclado 0<&0 &
else
  TECLADO_CONFIG=$private/teclado.cnf MYSQL_UNIX_PORT=$socket build/teclado < "$keys" &
fi
teclado_pid=$!

if [ "$keys" = - ]; then
  wait "$teclado_pid" || true
else
  while ! $interrupted && kill -0 "$teclado_pid" 2>/dev/null \
        && [ "$(date +%s%3N)" -lt "$deadline" ]; do
    sleep 0.1 || true  # Ctrl-C ends the sleep too
  done
fi
if ! kill -0 "$teclado_pid" 2>/dev/null; then
  status=0
  wait "$teclado_pid" || status=$?
  teclado_pid=
  echo "demo: teclado stopped by itself (status $status)" >&2
  exit 1
fi
kill "$teclado_pid"
wait "$teclado_pid" || true
teclado_pid=
trap 'exit 130' INT

echo
printf '%s\n' "---- rows in embarcados.estado (ESTADO quoted, DATA's newline as \\n) ----"
mariadb --defaults-file="$private/.my.cnf" --socket="$socket" -t -e "
  SELECT id, TECLA, QUOTE(ESTADO) AS ESTADO, REPLACE(DATA, '\n', '\\\\n') AS DATA, ms,
         gravado_em
  FROM embarcados.estado ORDER BY id"

# The same rows summed up per key, and as a picture, with the account of
# the demo's ~/.my.cnf.
echo
echo "---- teclado-relatorio (picture: build/demo-relatorio.svg) ----"
HOME=$private MYSQL_UNIX_PORT=$socket build/teclado-relatorio --svg build/demo-relatorio.svg
