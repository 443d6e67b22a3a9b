// Event recording: one key event becomes one row of the table estado.
#pragma once

// Stores (tecla, estado, data, ms) as a row of estado over a connection of
// its own, opened and closed within the call. Prints one status line:
// "Estamos conectados ao banco de dados" or "Falha de conexao", and after a
// connection, "Falha ao gravar: <reason>" if the row was not stored.
// estado and data are only read during the call. Returns in every case,
// within the time limits of config.h.
void inserirnatabela(int tecla, const char *estado, const char *data, int ms);
