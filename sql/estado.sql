-- The table teclado writes to. Safe to load again: creates only what is absent.
--
-- The program's values are kept byte for byte: ESTADO is 'ON ' or 'OFF '
-- with its trailing space (CHAR would strip it), and DATA is the ctime text
-- with its newline, 25 characters (a shorter column drops the newline).
-- The ctime text does not sort, so the server also stamps each row.
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
