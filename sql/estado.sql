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

-- The report pairs each press with the next event of the same key in row
-- order: this index hands it each key's rows in that order. ADD INDEX IF NOT
-- EXISTS: a table made by an earlier version gets it on the next load.
ALTER TABLE embarcados.estado ADD INDEX IF NOT EXISTS tecla_id (TECLA, id);

-- The events in a form that sorts and compares: evento without the stored
-- trailing space, instante the moment the program saw (the ctime text plus
-- its milliseconds), not the server's gravado_em. instante is NULL for a
-- DATA text that is not a ctime text.
CREATE OR REPLACE VIEW embarcados.estado_eventos AS
  SELECT id,
         TECLA,
         TRIM(TRAILING ' ' FROM ESTADO) AS evento,
         CAST(STR_TO_DATE(LEFT(DATA, 24), '%a %b %e %H:%i:%s %Y')
              + INTERVAL ms * 1000 MICROSECOND AS DATETIME(3)) AS instante
  FROM embarcados.estado;
