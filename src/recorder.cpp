// Event recorder: one connection per event, opened, used once and closed.
#include "recorder.h"

#include "config.h"

#include <cstdio>
#include <mysql.h>

void inserirnatabela(int tecla, const char *estado, const char *data, int ms)
{
    MYSQL banco;
    if (mysql_init(&banco) == nullptr) {
        puts("Falha de conexao");
        return;
    }
    unsigned int limite_conexao = BANCO_LIMITE_CONEXAO_S;
    unsigned int limite_leitura = BANCO_LIMITE_LEITURA_S;
    unsigned int limite_escrita = BANCO_LIMITE_ESCRITA_S;
    mysql_options(&banco, MYSQL_OPT_CONNECT_TIMEOUT, &limite_conexao);
    mysql_options(&banco, MYSQL_OPT_READ_TIMEOUT, &limite_leitura);
    mysql_options(&banco, MYSQL_OPT_WRITE_TIMEOUT, &limite_escrita);

    if (mysql_real_connect(&banco, BANCO_HOST, BANCO_USUARIO, BANCO_SENHA, BANCO_NOME, 0,
                           nullptr, 0) == nullptr) {
        puts("Falha de conexao");
        mysql_close(&banco);
        return;
    }
    puts("Estamos conectados ao banco de dados");

    // Values are quoted and the server converts them to the column types.
    // None is escaped: they all come from this program and none holds a quote.
    char comando[COMANDO_MAX];
    int n = snprintf(comando, sizeof comando,
                     "INSERT INTO estado(TECLA, ESTADO, DATA, ms) values ('%d', '%s ', '%s', '%d');",
                     tecla, estado, data, ms);
    if (n < 0 || n >= static_cast<int>(sizeof comando))
        printf("Falha ao gravar: comando com %d caracteres, mais que os %d previstos\n", n,
               COMANDO_MAX - 1);
    else if (mysql_query(&banco, comando) != 0)
        printf("Falha ao gravar: %s\n", mysql_error(&banco));
    mysql_close(&banco);
}
