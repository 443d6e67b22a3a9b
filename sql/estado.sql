-- The table teclado writes to. Safe to load again: creates only what is absent.
--
-- The program's values are kept byte for byte: ESTADO is 'ON ' or 'OFF '
-- with its trailing space (CHAR would strip it), and DATA is the ctime text
-- with its newline, 25 characters (a shorter column drops the newline).
-- The ctime text does not sort, so the server also stamps each row.
--
-- placa names the board a row comes from. The server fills it, never the
-- program, from the column's default, fixed when this file first adds the
-- column; loading it again leaves the default as it is, unless @placa is
-- set, which renames the board from then on (rows stored keep their name):
--   SET @placa = 'porta-norte';  a board's own server: that name
--   nothing set                  a board's own server: its host name
--                                (@@hostname) as it is at the first load
--   SET @placa_pela_conta = 1;   a server boards log to directly: the
--                                account each row is inserted by
--                                (CURRENT_USER(); rows from before the
--                                column get '')
-- 384 characters: the longest account name, user@host, so that no default
-- can make an INSERT fail. Names compare byte for byte (a binary collation
-- without padding), as at the central server: Placa-2, placa-2 and
-- 'placa-2 ' are three boards.
--
-- Statements issued here stay out of the binary log: a central server that
-- replicates a board's log keeps a table of its own (sql/central.sql) and
-- takes only the board's rows. Only where there is a log, since turning
-- it off takes the BINLOG ADMIN privilege.
PREPARE sem_log FROM IF(@@log_bin, 'SET SESSION sql_log_bin = 0', 'DO 0');
EXECUTE sem_log;
DEALLOCATE PREPARE sem_log;
-- A schema change waits for the server's running statements and holds
-- every INSERT behind it while it waits: give up after a second, well
-- within the program's own limit, rather than keep the keypad waiting.
SET SESSION lock_wait_timeout = 1;

CREATE DATABASE IF NOT EXISTS embarcados;

CREATE TABLE IF NOT EXISTS embarcados.estado (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  TECLA INT NOT NULL,
  ESTADO VARCHAR(8) NOT NULL,
  DATA VARCHAR(32) NOT NULL,
  ms SMALLINT NOT NULL,
  gravado_em DATETIME(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
  KEY (gravado_em)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The board's column, added last (the columns before it keep their order
-- for whoever reads them by position) and without copying the table: an
-- instant change, whatever the number of rows.
SET @placa_falta = NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
  WHERE TABLE_SCHEMA = 'embarcados' AND TABLE_NAME = 'estado' AND COLUMN_NAME = 'placa');
SET @placa_comando = IF(NOT @placa_falta, 'DO 0',
  CONCAT('ALTER TABLE embarcados.estado ADD COLUMN placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL DEFAULT ',
         IF(@placa_pela_conta, "''", QUOTE(COALESCE(@placa, @@hostname))),
         ', ALGORITHM=INSTANT'));
PREPARE placa_comando FROM @placa_comando;
EXECUTE placa_comando;
-- The account as the default only now, so that the rows already there are
-- not put down to whoever loads this file.
SET @placa_comando = IF(@placa_falta AND @placa_pela_conta,
  'ALTER TABLE embarcados.estado ALTER placa SET DEFAULT (CURRENT_USER()), ALGORITHM=INSTANT',
  'DO 0');
PREPARE placa_comando FROM @placa_comando;
EXECUTE placa_comando;
-- A column made by an earlier version compared names without case or
-- trailing blanks: made binary, its default kept (a table without one,
-- the central's, gets none).
SELECT COLLATION_NAME <> 'utf8mb4_nopad_bin', COLUMN_DEFAULT INTO @placa_antiga, @placa_padrao
  FROM information_schema.COLUMNS
  WHERE TABLE_SCHEMA = 'embarcados' AND TABLE_NAME = 'estado' AND COLUMN_NAME = 'placa';
SET @placa_comando = IF(@placa_antiga,
  CONCAT('ALTER TABLE embarcados.estado MODIFY placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL',
         IF(@placa_padrao IS NULL, '', CONCAT(' DEFAULT (', @placa_padrao, ')'))),
  'DO 0');
PREPARE placa_comando FROM @placa_comando;
EXECUTE placa_comando;
-- A name set on purpose renames the board, instantly: a board set up
-- alone, then joined to a central server, takes the name given there.
SET @placa_comando = IF(@placa IS NOT NULL AND NOT @placa_pela_conta <=> 1,
  CONCAT('ALTER TABLE embarcados.estado ALTER placa SET DEFAULT ', QUOTE(@placa), ', ALGORITHM=INSTANT'),
  'DO 0');
PREPARE placa_comando FROM @placa_comando;
EXECUTE placa_comando;
DEALLOCATE PREPARE placa_comando;

-- The report pairs each press with the next event of the same key in row
-- order: this index hands it each key's rows in that order. ADD INDEX IF NOT
-- EXISTS: a table made by an earlier version gets it on the next load.
ALTER TABLE embarcados.estado ADD INDEX IF NOT EXISTS tecla_id (TECLA, id);

-- instante: the moment the program saw (the ctime text plus its ms), so
-- that a period is read through an index rather than by parsing every
-- row's text. VIRTUAL, computed by the server as a row is stored: adding it
-- takes no copy of the table, and a PERSISTENT one makes an INSERT whose
-- text does not parse fail under strict mode. For the same reason the text
-- is checked before STR_TO_DATE sees it (which fails an INSERT on text it
-- cannot read or on an impossible day, Feb 30), and ms outside 0-999
-- (which could push the date out of range) gives NULL too: NULL is "instant
-- unknown", never a refused row. Last, after placa: the columns before it
-- keep their order, as replication and readers by position need.
ALTER TABLE embarcados.estado ADD COLUMN IF NOT EXISTS instante DATETIME(6) AS (
  IF(ms BETWEEN 0 AND 999
     AND DATA REGEXP '^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] [1-9][0-9]{3}\n$'
     AND CAST(SUBSTRING(DATA, 9, 2) AS UNSIGNED)
         <= ELT(FIELD(SUBSTRING(DATA, 5, 3), 'Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul',
                      'Aug', 'Sep', 'Oct', 'Nov', 'Dec'),
                31, 28 + (SUBSTRING(DATA, 21, 4) % 4 = 0 AND (SUBSTRING(DATA, 21, 4) % 100 <> 0
                                                              OR SUBSTRING(DATA, 21, 4) % 400 = 0)),
                31, 30, 31, 30, 31, 31, 30, 31, 30, 31),
     STR_TO_DATE(DATA, '%a %b %e %H:%i:%s %Y\n') + INTERVAL ms * 1000 MICROSECOND,
     NULL)) VIRTUAL, ALGORITHM=INSTANT;
-- The report reads a period's rows, and the whole log, from this index
-- alone: it holds every column the report asks for (the table's key comes
-- with it), so no row is fetched and no instant computed again. Built
-- beside the running INSERTs.
ALTER TABLE embarcados.estado ADD INDEX IF NOT EXISTS instante (instante, TECLA, ESTADO, ms, placa),
  ALGORITHM=INPLACE, LOCK=NONE;
-- A central server's log (the one that has embarcados.placas, from
-- sql/central.sql) holds many boards: the report of one board's days reads
-- that board's rows by instant. With only the key the server computes the
-- instant of every row the board ever sent (measured: one day of a board
-- with 60 days of rows, 5.3 s; 0.1 s with this index). A board's own table
-- holds one board and does without it: its card is spared the writes.
SET @placa_instante = IF(EXISTS (SELECT 1 FROM information_schema.TABLES
    WHERE TABLE_SCHEMA = 'embarcados' AND TABLE_NAME = 'placas'),
  'ALTER TABLE embarcados.estado ADD INDEX IF NOT EXISTS placa_instante'
  ' (placa, instante, TECLA, ESTADO, ms), ALGORITHM=INPLACE, LOCK=NONE', 'DO 0');
PREPARE placa_instante FROM @placa_instante;
EXECUTE placa_instante;
DEALLOCATE PREPARE placa_instante;

-- The events in a form that sorts and compares: evento without the stored
-- trailing space, instante the moment the program saw (the ctime text plus
-- its milliseconds), not the server's gravado_em. instante is NULL for a
-- DATA text that is not a ctime text.
CREATE OR REPLACE VIEW embarcados.estado_eventos AS
  SELECT id,
         TECLA,
         TRIM(TRAILING ' ' FROM ESTADO) AS evento,
         CAST(STR_TO_DATE(LEFT(DATA, 24), '%a %b %e %H:%i:%s %Y')
              + INTERVAL ms * 1000 MICROSECOND AS DATETIME(3)) AS instante,
         placa
  FROM embarcados.estado;
