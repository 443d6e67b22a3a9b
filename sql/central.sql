-- The central server's copy of every board's estado, filled by replication
-- only. Load it before estado.sql, which then adds the view and the report's
-- index and leaves this table as it is:
--   cat sql/central.sql sql/estado.sql | mariadb
--
-- The columns are the boards' own, in the same order: replication applies a
-- board's row by column position. Each board numbers its ids from 1, so a
-- row is known by its board and its id together: (placa, id) is the key,
-- which keeps each board's rows together in their order, and a row that
-- came twice would stop its board's link with a duplicate key rather than
-- be stored again. No defaults: every value comes from the board.
-- estado.sql then adds, as on every board, the virtual column instante and
-- the report's index on it, after placa: the same columns in the same
-- order as the boards' tables.
SET SESSION sql_log_bin = 0;
CREATE DATABASE IF NOT EXISTS embarcados;

CREATE TABLE IF NOT EXISTS embarcados.estado (
  id BIGINT UNSIGNED NOT NULL,
  TECLA INT NOT NULL,
  ESTADO VARCHAR(8) NOT NULL,
  DATA VARCHAR(32) NOT NULL,
  ms SMALLINT NOT NULL,
  gravado_em DATETIME(3) NOT NULL,
  placa VARCHAR(384) CHARACTER SET utf8mb4 NOT NULL,
  PRIMARY KEY (placa, id),
  KEY (gravado_em)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The report of one board's days reads that board's rows by instant: with
-- only the key, the server computes the instant of every row the board
-- ever sent (measured: one day of a board with 60 days of rows, 5.3 s;
-- 0.1 s with this index). The column instante comes from estado.sql, so
-- the index is added when this file is loaded after it:
--   cat sql/central.sql sql/estado.sql sql/central.sql | mariadb
-- Built beside the rows the links apply.
SET @placa_instante = IF(EXISTS (SELECT 1 FROM information_schema.COLUMNS
    WHERE TABLE_SCHEMA = 'embarcados' AND TABLE_NAME = 'estado' AND COLUMN_NAME = 'instante'),
  'ALTER TABLE embarcados.estado ADD INDEX IF NOT EXISTS placa_instante'
  ' (placa, instante, TECLA, ESTADO, ms), ALGORITHM=INPLACE, LOCK=NONE', 'DO 0');
PREPARE placa_instante FROM @placa_instante;
EXECUTE placa_instante;
DEALLOCATE PREPARE placa_instante;
