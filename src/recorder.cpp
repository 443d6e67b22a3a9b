// Event recorder: one connection per event, opened, used once and closed.
//
// The client library's own time limits apply to each read and each write,
// so a server that answers one byte at a time could hold the keypad blind
// for as long as it liked. Every step runs instead through the library's
// non-blocking calls, waiting on the socket only until a deadline of the
// event's own.
#include "recorder.h"

#include "common/reclamar.h"
#include "config.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <errmsg.h>
#include <mysql.h>
#include <poll.h>

namespace {

// Milliseconds on a clock that setting the time of day does not move.
long long agora_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Waits on the connection's socket for what the library asked (status, a
// mask of MYSQL_WAIT_*) until prazo (agora_ms() time) or the library's own
// limit. Returns what came, or MYSQL_WAIT_TIMEOUT, on which the library
// gives up the step in progress with an error and waits for nothing more.
int esperar(MYSQL *banco, int status, long long prazo)
{
    for (;;) {
        long long resta = prazo - agora_ms();
        if (resta <= 0)
            return MYSQL_WAIT_TIMEOUT;
        if ((status & MYSQL_WAIT_TIMEOUT) && mysql_get_timeout_value_ms(banco) < resta)
            resta = mysql_get_timeout_value_ms(banco);
        pollfd p = {mysql_get_socket(banco), 0, 0};
        if (status & MYSQL_WAIT_READ)
            p.events |= POLLIN;
        if (status & MYSQL_WAIT_WRITE)
            p.events |= POLLOUT;
        if (status & MYSQL_WAIT_EXCEPT)
            p.events |= POLLPRI;
        int n = poll(&p, 1, static_cast<int>(resta));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (p.revents & POLLNVAL))
            return MYSQL_WAIT_TIMEOUT;
        // A link closed or broken: the library's next read or write fails
        // and says why.
        if (p.revents & (POLLHUP | POLLERR))
            return status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT);
        int veio = 0;
        if (p.revents & POLLIN)
            veio |= MYSQL_WAIT_READ;
        if (p.revents & POLLOUT)
            veio |= MYSQL_WAIT_WRITE;
        if (p.revents & POLLPRI)
            veio |= MYSQL_WAIT_EXCEPT;
        return veio;
    }
}

// Codes the client library makes itself (lost link, time up, ...), as
// opposed to an error the server sent.
bool erro_do_cliente(unsigned int codigo)
{
    return (codigo >= CR_MIN_ERROR && codigo <= CR_MAX_ERROR) ||
           (codigo >= CER_MIN_ERROR && codigo <= CER_MAX_ERROR);
}

// Closes the handle and frees what the library holds for it. Closing sends
// only a goodbye and waits for no answer, so it stays within prazo.
void fechar(MYSQL *banco, long long prazo)
{
    int status = mysql_close_start(banco);
    while (status != 0)
        status = mysql_close_cont(banco, esperar(banco, status, prazo));
}

} // namespace

void inserirnatabela(int tecla, const char *estado, const char *data, int ms)
{
    long long inicio = agora_ms();
    long long prazo = inicio + BANCO_LIMITE_CONEXAO_S * 1000LL;
    long long fim = prazo + (BANCO_LIMITE_ESCRITA_S + BANCO_LIMITE_LEITURA_S) * 1000LL;

    MYSQL banco;
    if (mysql_init(&banco) == nullptr) {
        puts("Falha de conexao");
        reclamar("banco de dados: sem memoria para a conexao");
        return;
    }
    MYSQL *ligado = nullptr;
    if (mysql_options(&banco, MYSQL_OPT_NONBLOCK, nullptr) == 0) {
        int status = mysql_real_connect_start(&ligado, &banco, BANCO_HOST, BANCO_USUARIO,
                                              BANCO_SENHA, BANCO_NOME, 0, nullptr, 0);
        while (status != 0)
            status = mysql_real_connect_cont(&ligado, &banco, esperar(&banco, status, prazo));
    }
    if (ligado == nullptr) {
        puts("Falha de conexao");
        // A stopped server and a refused password look alike on the
        // console; the journal keeps the difference.
        // Without a message the library could not set up its non-blocking
        // calls, which only fails for want of memory.
        const char *motivo = mysql_error(&banco);
        reclamar("banco de dados: %s", motivo[0] != '\0' ? motivo : "sem memoria para a conexao");
        fechar(&banco, fim);
        return;
    }
    puts("Estamos conectados ao banco de dados");

    // Values are quoted and the server converts them to the column types.
    // None is escaped: they all come from this program and none holds a quote.
    char comando[COMANDO_MAX];
    int n = snprintf(comando, sizeof comando,
                     "INSERT INTO estado(TECLA, ESTADO, DATA, ms) values ('%d', '%s ', '%s', '%d');",
                     tecla, estado, data, ms);
    if (n < 0 || n >= static_cast<int>(sizeof comando)) {
        printf("Falha ao gravar: comando com %d caracteres, mais que os %d previstos\n", n,
               COMANDO_MAX - 1);
        fechar(&banco, fim);
        return;
    }

    // Until the statement is wholly sent the server cannot run it: a
    // failure then stores nothing.
    prazo = agora_ms() + BANCO_LIMITE_ESCRITA_S * 1000LL;
    int erro = 0;
    int status = mysql_send_query_start(&erro, &banco, comando, static_cast<unsigned long>(n));
    while (status != 0)
        status = mysql_send_query_cont(&erro, &banco, esperar(&banco, status, prazo));
    if (erro != 0) {
        printf("Falha ao gravar: %s\n", mysql_error(&banco));
        fechar(&banco, fim);
        return;
    }

    // Once sent, only the server's answer tells: its refusal stores
    // nothing, but a link lost or cut before the answer may come after
    // the row was stored, or before.
    prazo = agora_ms() + BANCO_LIMITE_LEITURA_S * 1000LL;
    my_bool falhou = 0;
    status = mysql_read_query_result_start(&falhou, &banco);
    while (status != 0)
        status = mysql_read_query_result_cont(&falhou, &banco, esperar(&banco, status, prazo));
    if (falhou) {
        if (erro_do_cliente(mysql_errno(&banco)))
            printf("Gravacao incerta: %s\n", mysql_error(&banco));
        else
            printf("Falha ao gravar: %s\n", mysql_error(&banco));
    }
    fechar(&banco, fim);
}
