// Event recording: one key event becomes one row of the table estado.
#pragma once

// Stores (tecla, estado, data, ms) as a row of estado over a connection of
// its own, opened and closed within the call. Prints one status line:
// "Estamos conectados ao banco de dados" or "Falha de conexao" (with the
// client library's reason as a "teclado: banco de dados: ..." line on
// standard error), and after a connection, "Falha ao gravar: <reason>" if
// the row was not stored, or "Gravacao incerta: <reason>" if the link was
// lost or timed out after the statement was sent, so the row may or may
// not be there. Reads the option file again for every event (opcoes.h);
// one that has become unusable gives "Falha de conexao" with the file's
// fault on standard error. estado and data are only read during the call.
// Returns in every case, within the file's connect, write and read limits
// (by default BANCO_LIMITE_*_S of config.h) together, whatever the server
// does; the connect limit is shared by the hosts of a list (host=a,b).
void inserirnatabela(int tecla, const char *estado, const char *data, int ms);
