// Event recorder: one connection per event, opened, used once and closed,
// with the settings of the option file read again for each (opcoes.h).
//
// The client library's own time limits apply to each read and each write,
// so a server that answers one byte at a time could hold the keypad blind
// for as long as it liked. Every step runs instead through the library's
// non-blocking calls, waiting on the socket only until a deadline of the
// event's own.
#include "recorder.h"

#include "common/reclamar.h"
#include "config.h"
#include "console.h"
#include "opcoes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <errmsg.h>
#include <mysql.h>
#include <poll.h>

namespace {

// The longest statement (two-digit key code, "OFF", three-digit ms) is 102
// characters; one more for the terminator.
constexpr int COMANDO_MAX = 103;

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

// The plugins that never send the password as it is: over TCP without
// TLS, the server may ask for no other (mysql_clear_password, PAM's dialog).
constexpr const char *AUTENTICACAO_CIFRADA =
    "mysql_native_password,client_ed25519,caching_sha2_password,sha256_password";

// Connects banco (already initialised) to one host, within prazo.
bool conectar_host(MYSQL *banco, const OpcoesDoBanco &opcoes, const HostDaLista &host,
                   long long prazo)
{
    // The compiled defaults first: the file, read by the library as it
    // connects, overrides each one it names.
    unsigned int limite = opcoes.conexao_s;
    // With any TLS setting the library would still log in in clear to a
    // server without TLS, and take a certificate it has not checked:
    // a file that names TLS gets it whole. Without TLS, over TCP, the
    // password is never handed over in clear.
    my_bool sim = 1;
    if ((opcoes.tls && (mysql_options(banco, MYSQL_OPT_SSL_ENFORCE, &sim) != 0 ||
                        mysql_options(banco, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &sim) != 0)) ||
        (!opcoes.tls && !host_local(host) &&
         mysql_optionsv(banco, MARIADB_OPT_RESTRICTED_AUTH, AUTENTICACAO_CIFRADA) != 0) ||
        mysql_optionsv(banco, MARIADB_OPT_USER, BANCO_USUARIO) != 0 ||
        mysql_optionsv(banco, MARIADB_OPT_PASSWORD, BANCO_SENHA) != 0 ||
        mysql_optionsv(banco, MARIADB_OPT_SCHEMA, BANCO_NOME) != 0 ||
        mysql_options(banco, MYSQL_OPT_CONNECT_TIMEOUT, &limite) != 0 ||
        (opcoes.arquivo != nullptr &&
         (mysql_options(banco, MYSQL_READ_DEFAULT_FILE, opcoes.arquivo) != 0 ||
          mysql_options(banco, MYSQL_READ_DEFAULT_GROUP, "teclado") != 0)) ||
        mysql_options(banco, MYSQL_OPT_NONBLOCK, nullptr) != 0)
        return false;
    MYSQL *ligado = nullptr;
    int status = mysql_real_connect_start(&ligado, banco, host.nome, nullptr, nullptr, nullptr,
                                          host.porta, nullptr, 0);
    while (status != 0)
        status = mysql_real_connect_cont(&ligado, banco, esperar(banco, status, prazo));
    return ligado != nullptr;
}

// Connects banco to the first host of the file's list (or the default
// host) that answers within prazo. The library would try a list itself,
// but would give each host the whole connect limit, so a first host that
// never answers would leave none for the next: each host here gets an
// equal share of what is left of the limit, and one that refuses at once
// leaves its share to those after it. Initialises banco; unless it
// returns sem_memoria, the caller closes it, after reading a failure's
// reason (the last host's) from it.
enum class Conexao { ligada, falhou, sem_memoria };
Conexao conectar(MYSQL *banco, const OpcoesDoBanco &opcoes, long long prazo)
{
    if (mysql_init(banco) == nullptr)
        return Conexao::sem_memoria;
    int hosts = contar_hosts(opcoes);
    for (int i = 0;; i++) {
        HostDaLista host;
        host_da_lista(opcoes, i, &host);
        long long agora = agora_ms();
        if (conectar_host(banco, opcoes, host, agora + (prazo - agora) / (hosts - i)))
            return Conexao::ligada;
        if (i + 1 == hosts)
            return Conexao::falhou;
        fechar(banco, prazo);
        if (mysql_init(banco) == nullptr)
            return Conexao::sem_memoria;
    }
}

} // namespace

void inserirnatabela(int tecla, const char *estado, const char *data, int ms)
{
    long long inicio = agora_ms();
    OpcoesDoBanco opcoes;
    if (!ler_opcoes_do_banco(&opcoes)) {
        // Edited into a bad state since the start: not a guess at what
        // the file meant.
        mostrarconexao(false);
        reclamar("banco de dados: %s", opcoes.erro);
        return;
    }
    long long prazo = inicio + opcoes.conexao_s * 1000LL;
    long long fim = prazo + (opcoes.escrita_s + opcoes.leitura_s) * 1000LL;

    MYSQL banco;
    Conexao conexao = conectar(&banco, opcoes, prazo);
    if (conexao == Conexao::sem_memoria) {
        mostrarconexao(false);
        reclamar("banco de dados: sem memoria para a conexao");
        return;
    }
    if (conexao == Conexao::falhou) {
        mostrarconexao(false);
        // A stopped server and a refused password look alike on the
        // console; the journal keeps the difference.
        // Without a message the library could not set up its non-blocking
        // calls, which only fails for want of memory.
        const char *motivo = mysql_error(&banco);
        reclamar("banco de dados: %s", motivo[0] != '\0' ? motivo : "sem memoria para a conexao");
        fechar(&banco, fim);
        return;
    }
    mostrarconexao(true);

    // Values are quoted and the server converts them to the column types.
    // None is escaped: they all come from this program and none holds a quote.
    char comando[COMANDO_MAX];
    int n = snprintf(comando, sizeof comando,
                     "INSERT INTO estado(TECLA, ESTADO, DATA, ms) values ('%d', '%s ', '%s', '%d');",
                     tecla, estado, data, ms);
    if (n < 0 || n >= static_cast<int>(sizeof comando)) {
        mostrarfalha(false, "comando com %d caracteres, mais que os %d previstos", n,
                     COMANDO_MAX - 1);
        fechar(&banco, fim);
        return;
    }

    // Until the statement is wholly sent the server cannot run it: a
    // failure then stores nothing.
    prazo = agora_ms() + opcoes.escrita_s * 1000LL;
    int erro = 0;
    int status = mysql_send_query_start(&erro, &banco, comando, static_cast<unsigned long>(n));
    while (status != 0)
        status = mysql_send_query_cont(&erro, &banco, esperar(&banco, status, prazo));
    if (erro != 0) {
        mostrarfalha(false, "%s", mysql_error(&banco));
        fechar(&banco, fim);
        return;
    }

    // Once sent, only the server's answer tells: its refusal stores
    // nothing, but a link lost or cut before the answer may come after
    // the row was stored, or before.
    prazo = agora_ms() + opcoes.leitura_s * 1000LL;
    my_bool falhou = 0;
    status = mysql_read_query_result_start(&falhou, &banco);
    while (status != 0)
        status = mysql_read_query_result_cont(&falhou, &banco, esperar(&banco, status, prazo));
    if (falhou)
        mostrarfalha(erro_do_cliente(mysql_errno(&banco)), "%s", mysql_error(&banco));
    fechar(&banco, fim);
}
