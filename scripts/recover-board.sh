#!/bin/bash
# Brings a board's link at the central server back after the board purged
# its binary log past the link's position (the link stopped with error
# 1236): the board's rows the central server lacks are copied once, through
# the board's arrival table and its checks, from a snapshot of the board's
# table, and the link starts again at the snapshot's place in the board's
# log. Run it at the central server (docs/central.md):
#
#   recover-board.sh LINK BOARD_FILE [CENTRAL_FILE]
#
# LINK is the board's connection name at the central server; BOARD_FILE a
# client option file (0600) for an account on the board with SELECT on
# embarcados.estado, over TLS as the link is; CENTRAL_FILE one for the
# central server (default: the mariadb client's own defaults, root there).
#
# The board's GTID position is global at the central server: setting it
# stops every link for a moment (printed, in ms) and starts again those
# that ran. Running it again copies nothing twice: the copy starts after
# the last id the central server holds for the board.
set -euo pipefail

fail() {
  echo "recover-board.sh: $*" >&2
  exit 1
}
[ $# -ge 2 ] || fail "usage: recover-board.sh LINK BOARD_FILE [CENTRAL_FILE]"
link=$1
board=(mariadb --defaults-file="$2" --batch --skip-column-names)
central=(mariadb ${3:+--defaults-file="$3"} --batch --skip-column-names)
# The link's name goes into SQL text.
[[ $link =~ ^[A-Za-z0-9_.-]+$ ]] || fail "$link: a link name of letters, digits, '_', '.', '-'"
work=$(mktemp -d -t recover-board.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The arrival database the link writes to, and the last id the central
# server holds of the names that arrive through it.
arrival=$("${central[@]}" -e "SELECT @@\`$link\`.replicate_rewrite_db") ||
  fail "$link: no such link at the central server"
arrival=${arrival#embarcados->}
[[ $arrival =~ ^[A-Za-z0-9_]+$ ]] || fail "$link: its replicate_rewrite_db is not embarcados->DB"
"${central[@]}" -e "STOP SLAVE '$link'"
last=$("${central[@]}" -e "SELECT COALESCE(MAX(e.id), 0) FROM embarcados.estado e
  JOIN embarcados.placas p ON p.placa = e.placa WHERE p.chegada = '$arrival'")

# One snapshot of the board: its rows after that id and the place in its
# binary log where the snapshot stands.
"${board[@]}" > "$work/rows" <<SQL
SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ;
START TRANSACTION WITH CONSISTENT SNAPSHOT;
SELECT @@gtid_domain_id, BINLOG_GTID_POS(
  (SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'BINLOG_SNAPSHOT_FILE'),
  (SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'BINLOG_SNAPSHOT_POSITION'));
SELECT CONCAT('(', id, ',', TECLA, ',0x', HEX(ESTADO), ',0x', HEX(DATA), ',', ms, ',''',
              gravado_em, ''',0x', HEX(placa), ')')
  FROM embarcados.estado WHERE id > $last ORDER BY id;
COMMIT;
SQL
read -r domain position < "$work/rows"
gtid=$(tr ',' '\n' <<< "$position" | grep "^$domain-" || true)
[[ $gtid =~ ^[0-9]+-[0-9]+-[0-9]+$ ]] || fail "board: no GTID of its domain $domain in its log ($position)"
rows=$(($(wc -l < "$work/rows") - 1))

# The copy, in one transaction, through the arrival table's trigger.
{
  echo "SET SESSION sql_log_bin = 0; START TRANSACTION;"
  tail -n +2 "$work/rows" | sed "s/^/INSERT INTO \`$arrival\`.estado VALUES /; s/\$/;/"
  echo "COMMIT;"
} | "${central[@]}"

# The link's place: the position is one global value, which only changes
# with every link stopped.
running=$("${central[@]}" -e "SHOW ALL SLAVES STATUS" | awk -F'\t' -v l="$link" \
  '$1 != l && $14 == "Yes" { printf "START SLAVE '\''%s'\''; ", $1 }')
stopped=$("${central[@]}" <<SQL
SET @inicio = NOW(6);
STOP ALL SLAVES;
SET GLOBAL gtid_slave_pos = CONCAT_WS(',', NULLIF(TRIM(BOTH ',' FROM
  REGEXP_REPLACE(@@gtid_slave_pos, '(^|,)$domain-[0-9]+-[0-9]+', '')), ''), '$gtid');
$running START SLAVE '$link';
SELECT ROUND(TIMESTAMPDIFF(MICROSECOND, @inicio, NOW(6)) / 1000);
SQL
)
echo "recover-board.sh: $link: $rows rows copied (ids after $last), link started at $gtid;" \
  "the other links stopped $stopped ms"
