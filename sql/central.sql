-- The central server's log of every board's rows: embarcados.estado, filled
-- only by the triggers of the boards' arrival tables (sql/chegada.sql), so
-- that what a board does to its own table besides adding rows never reaches
-- it. Load it before estado.sql, which then adds the view and the report's
-- index and leaves this table as it is:
--   cat sql/central.sql sql/estado.sql | mariadb
--
-- The columns are the boards' own, in the same order. Each board numbers
-- its ids from 1, so a row is known by its board and its id together:
-- (placa, id) is the key, which keeps each board's rows together in their
-- order. No defaults: every value comes from the board. Board names
-- compare byte for byte (a binary collation without padding): Placa-2,
-- placa-2 and 'placa-2 ' are three boards, here, in the report and in
-- --placa alike.
SET SESSION sql_log_bin = 0;
CREATE DATABASE IF NOT EXISTS embarcados;

CREATE TABLE IF NOT EXISTS embarcados.estado (
  id BIGINT UNSIGNED NOT NULL,
  TECLA INT NOT NULL,
  ESTADO VARCHAR(8) NOT NULL,
  DATA VARCHAR(32) NOT NULL,
  ms SMALLINT NOT NULL,
  gravado_em DATETIME(3) NOT NULL,
  placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL,
  PRIMARY KEY (placa, id),
  KEY (gravado_em)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Which arrival database (which board's link) each name comes through: the
-- first row of a name claims it, and a row of that name through another
-- link stops that link (sql/chegada.sql).
CREATE TABLE IF NOT EXISTS embarcados.placas (
  placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL PRIMARY KEY,
  chegada VARCHAR(64) NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- A log made by an earlier version compared names without case and
-- trailing blanks: its key is rebuilt to compare them byte for byte (which
-- only tells more names apart, so no row can collide). It rebuilds the
-- table; docs/central.md gives its time.
SET @placa_comando = IF((SELECT COLLATION_NAME FROM information_schema.COLUMNS
                         WHERE TABLE_SCHEMA = 'embarcados' AND TABLE_NAME = 'estado'
                           AND COLUMN_NAME = 'placa') = 'utf8mb4_nopad_bin', 'DO 0',
  'ALTER TABLE embarcados.estado MODIFY placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL');
PREPARE placa_comando FROM @placa_comando;
EXECUTE placa_comando;
DEALLOCATE PREPARE placa_comando;
