-- Where one board's rows arrive at the central server: a table that keeps
-- nothing (BLACKHOLE) and a trigger that copies each row into the central
-- log, embarcados.estado (sql/central.sql). Load it once per board, into a
-- database of that board's own, the one its link's replicate_rewrite_db
-- names (docs/central.md):
--   { echo 'CREATE DATABASE IF NOT EXISTS chegada_placa_1; USE chegada_placa_1;';
--     cat sql/chegada.sql; } | mariadb
--
-- What a board does to its own table besides adding rows reaches this
-- table at most, never the log: a TRUNCATE or a DELETE finds nothing to
-- remove here, and a DROP, an ALTER or a RENAME changes only this board's
-- way in (its link then stops at the board's next row, naming this table),
-- never the log nor another board's link.
--
-- The trigger refuses, and so stops this board's link at once with the
-- reason, a row whose board name already arrives through another board's
-- link (two boards of one name: a clone, a rename) and a row whose id the
-- log already holds for that name (the board started its ids again: a
-- TRUNCATE, a table made anew). Names compare byte for byte, as in the log.
SET SESSION sql_log_bin = 0;

-- The boards' columns up to placa, in their order (a row is applied by
-- position; the boards' later columns are left out), and no defaults:
-- every value comes from the board.
CREATE TABLE IF NOT EXISTS estado (
  id BIGINT UNSIGNED NOT NULL,
  TECLA INT NOT NULL,
  ESTADO VARCHAR(8) NOT NULL,
  DATA VARCHAR(32) NOT NULL,
  ms SMALLINT NOT NULL,
  gravado_em DATETIME(3) NOT NULL,
  placa VARCHAR(384) CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin NOT NULL
) ENGINE=BLACKHOLE DEFAULT CHARSET=utf8mb4;

DELIMITER ;;
CREATE TRIGGER IF NOT EXISTS para_o_registro BEFORE INSERT ON estado FOR EACH ROW
BEGIN
  DECLARE dona VARCHAR(64);
  DECLARE erro VARCHAR(512);
  -- The first row of a name gives it to this link; a concurrent first row
  -- of the same name through another link waits here for that one.
  INSERT INTO embarcados.placas (placa, chegada) VALUES (NEW.placa, DATABASE())
    ON DUPLICATE KEY UPDATE chegada = chegada;
  SELECT chegada INTO dona FROM embarcados.placas WHERE placa = NEW.placa;
  IF NOT dona <=> DATABASE() THEN
    SET erro = CONCAT('placa ', QUOTE(NEW.placa), ' ja chega por ', IFNULL(dona, '?'), ', nao por ',
                      DATABASE(), ': duas placas com um nome (de a cada uma o seu)');
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = erro;
  END IF;
  IF EXISTS (SELECT 1 FROM embarcados.estado WHERE placa = NEW.placa AND id = NEW.id) THEN
    SET erro = CONCAT('placa ', QUOTE(NEW.placa), ': a linha ', NEW.id, ' ja esta no registro',
                      ' central: a placa recomecou seus ids (TRUNCATE, tabela refeita)');
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = erro;
  END IF;
  INSERT INTO embarcados.estado (id, TECLA, ESTADO, DATA, ms, gravado_em, placa)
    VALUES (NEW.id, NEW.TECLA, NEW.ESTADO, NEW.DATA, NEW.ms, NEW.gravado_em, NEW.placa);
END;;
DELIMITER ;
