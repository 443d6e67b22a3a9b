// The report's link to the server: one connection, statements prepared with
// typed values, answers handed over row by row as the server sends them.
#pragma once

#include "relatorio/opcoes.h"

#include <functional>
#include <mysql.h>

// Logs in as teclado does unless told otherwise. The [client] group of the
// option files may name the user, password and server, the way the mariadb
// client reads them; the command line beats them, and MYSQL_UNIX_PORT beats
// a socket named there. False after one line on stderr.
bool conectar(MYSQL *banco, const opcoes_relatorio &opcoes);

// A value bound to a ?: a number, a text, or a number of ms on the
// TO_SECONDS scale bound as a DATETIME.
struct valor {
    enum { NUMERO, TEXTO, INSTANTE } tipo;
    long long numero;
    const char *texto;
};

// What a column of an answer is read as: text (one column at most, cut
// at PLACA_NOME_MAX bytes), a number, or a DATETIME as a number of ms on
// the TO_SECONDS scale, which the server then sends as it holds it rather
// than computing it row by row.
enum class coluna { TEXTO, NUMERO, INSTANTE };

// A row of an answer: the text column in texto, every other in numero at
// its place; a NULL reads as 0, with nulo set.
constexpr int COLUNAS_MAX = 6;
struct linha_lida {
    long long numero[COLUNAS_MAX];
    bool nulo[COLUNAS_MAX];
    const char *texto;
    unsigned long comprimento;
};

// Runs comando with valores bound to its ?s and hands each row, its
// columns read as colunas says, to receber, which returns false to stop
// there. False after one line on stderr when the server refuses the
// statement or the answer breaks off.
bool perguntar(MYSQL *banco, const char *comando, const valor *valores, int nvalores,
               const coluna *colunas, int ncolunas,
               const std::function<bool(const linha_lida &)> &receber);
