# Checks of a built teclado that scripts/test.sh and scripts/package.sh
# share. Sourced, not run: a failed check calls the caller's fail().

# exposure UNIT NAME: systemd's own exposure score of UNIT's sandbox, 0
# (locked) to 10, printed as a figure for NAME; above 3.0 a directive was
# lost.
exposure() {
  local unit=$1 name=$2 score
  score=$(systemd-analyze security --offline=true "$unit" 2>&1 |
            sed -n 's/.*Overall exposure level for teclado.service: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] || fail "systemd-analyze security gave no score for $unit"
  echo "figure: $name exposure (systemd-analyze security --offline=true): $score"
  awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' \
    || fail "$unit exposure $score, above 3.0: a directive was lost"
}

# runs_once ERROR COMMAND...: on a machine where it finds no keypad, the
# program must print its start line, say why on one line of standard
# error matching the extended regular expression ERROR, and exit with
# status 1 rather than scan blind.
runs_once() {
  local error=$1 out status=0
  shift
  out=$(mktemp -d -t teclado-run.XXXXXX)
  timeout 20 "$@" < /dev/null > "$out/stdout" 2> "$out/stderr" || status=$?
  echo "ran: $* -> status $status"
  echo "  stdout: $(cat "$out/stdout")"
  echo "  stderr: $(cat "$out/stderr")"
  local why=
  if [ "$status" -ne 1 ]; then
    why="status $status, expected 1"
  elif [ "$(cat "$out/stdout")" != "Estamos testando os pinos" ]; then
    why="standard output is not the start line alone"
  elif [ "$(wc -l < "$out/stderr")" -ne 1 ] || ! grep -Eq -- "$error" "$out/stderr"; then
    why="standard error is not one line matching '$error'"
  fi
  rm -rf "$out"
  [ -z "$why" ] || fail "$*: $why"
}
