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
