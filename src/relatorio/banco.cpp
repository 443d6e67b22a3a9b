// The report's link to the server, see banco.h.
#include "relatorio/banco.h"

#include "common/reclamar.h"
#include "config.h"
#include "relatorio/calendario.h"
#include "relatorio/resumo.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int VALORES_MAX = 8;

// The first and last ms a DATETIME holds, on that scale.
const long long INSTANTE_MIN = iniciododia(diasdesde1970(1000, 1, 1));
const long long INSTANTE_MAX = iniciododia(diasdesde1970(9999, 12, 31) + 1) - 1;

void paradatetime(long long ms, MYSQL_TIME *tempo)
{
    ms = ms < INSTANTE_MIN ? INSTANTE_MIN : ms > INSTANTE_MAX ? INSTANTE_MAX : ms;
    *tempo = {};
    int ano, mes, dia;
    diadecalendario(ms / MS_POR_DIA - DIAS_ATE_1970, &ano, &mes, &dia);
    long long resto = ms % MS_POR_DIA;
    tempo->year = static_cast<unsigned>(ano);
    tempo->month = static_cast<unsigned>(mes);
    tempo->day = static_cast<unsigned>(dia);
    tempo->hour = static_cast<unsigned>(resto / MS_POR_HORA);
    tempo->minute = static_cast<unsigned>(resto / 60000 % 60);
    tempo->second = static_cast<unsigned>(resto / 1000 % 60);
    tempo->second_part = static_cast<unsigned long>(resto % 1000 * 1000);
    tempo->time_type = MYSQL_TIMESTAMP_DATETIME;
}

// A DATETIME as ms on the TO_SECONDS scale, as paradatetime's inverse.
long long instante_de(const MYSQL_TIME &t)
{
    long long dia = diasdesde1970(static_cast<int>(t.year), static_cast<int>(t.month),
                                  static_cast<int>(t.day));
    return iniciododia(dia) + t.hour * MS_POR_HORA + t.minute * 60000LL + t.second * 1000LL +
           static_cast<long long>(t.second_part / 1000);
}

} // namespace

bool conectar(MYSQL *banco, const opcoes_relatorio &opcoes)
{
    if (mysql_init(banco) == nullptr) {
        reclamar("sem memoria para o cliente do banco");
        return false;
    }
    unsigned int limite_conexao = BANCO_LIMITE_CONEXAO_S;
    unsigned int limite_leitura = RELATORIO_LIMITE_LEITURA_S;
    unsigned int limite_escrita = BANCO_LIMITE_ESCRITA_S;
    mysql_options(banco, MYSQL_OPT_CONNECT_TIMEOUT, &limite_conexao);
    mysql_options(banco, MYSQL_OPT_READ_TIMEOUT, &limite_leitura);
    mysql_options(banco, MYSQL_OPT_WRITE_TIMEOUT, &limite_escrita);
    // Defaults first: the option files, read while connecting, override them.
    mysql_optionsv(banco, MARIADB_OPT_HOST, BANCO_HOST);
    mysql_optionsv(banco, MARIADB_OPT_USER, BANCO_USUARIO);
    mysql_options(banco, MYSQL_READ_DEFAULT_GROUP, "client");
    // Debian's own option files name the system server's socket.
    const char *socket = opcoes.socket != nullptr ? opcoes.socket : getenv("MYSQL_UNIX_PORT");
    if (socket != nullptr && socket[0] == '\0')
        socket = nullptr;
    // No password of ours: this program may be readable by every user.
    if (mysql_real_connect(banco, opcoes.host, opcoes.usuario, nullptr, BANCO_NOME, opcoes.porta,
                           socket, 0) == nullptr) {
        reclamar("sem conexao com o banco: %s", mysql_error(banco));
        mysql_close(banco);
        return false;
    }
    return true;
}

bool perguntar(MYSQL *banco, const char *comando, const valor *valores, int nvalores,
               const coluna *colunas, int ncolunas,
               const std::function<bool(const linha_lida &)> &receber)
{
    MYSQL_STMT *pergunta = mysql_stmt_init(banco);
    if (pergunta == nullptr) {
        reclamar("sem memoria para o cliente do banco");
        return false;
    }
    MYSQL_BIND entrada[VALORES_MAX] = {}, saida[COLUNAS_MAX] = {};
    MYSQL_TIME tempos[VALORES_MAX], lidos[COLUNAS_MAX];
    my_bool nulo[COLUNAS_MAX] = {};
    // The longest name the placa column holds, and its end.
    char texto[PLACA_NOME_MAX + 1];
    linha_lida linha = {};
    for (int i = 0; i < nvalores; i++) {
        const valor &v = valores[i];
        if (v.tipo == valor::INSTANTE) {
            paradatetime(v.numero, &tempos[i]);
            entrada[i].buffer_type = MYSQL_TYPE_DATETIME;
            entrada[i].buffer = &tempos[i];
        } else if (v.tipo == valor::TEXTO) {
            entrada[i].buffer_type = MYSQL_TYPE_STRING;
            entrada[i].buffer = const_cast<char *>(v.texto);
            entrada[i].buffer_length = strlen(v.texto);
        } else {
            entrada[i].buffer_type = MYSQL_TYPE_LONGLONG;
            entrada[i].buffer = const_cast<long long *>(&v.numero);
        }
    }
    for (int i = 0; i < ncolunas; i++) {
        saida[i].is_null = &nulo[i];
        if (colunas[i] == coluna::TEXTO) {
            saida[i].buffer_type = MYSQL_TYPE_STRING;
            saida[i].buffer = texto;
            saida[i].buffer_length = sizeof texto;
            saida[i].length = &linha.comprimento;
            linha.texto = texto;
        } else if (colunas[i] == coluna::INSTANTE) {
            saida[i].buffer_type = MYSQL_TYPE_DATETIME;
            saida[i].buffer = &lidos[i];
        } else {
            saida[i].buffer_type = MYSQL_TYPE_LONGLONG;
            saida[i].buffer = &linha.numero[i];
        }
    }
    bool feito = mysql_stmt_prepare(pergunta, comando, strlen(comando)) == 0 &&
                 mysql_stmt_bind_param(pergunta, entrada) == 0 &&
                 mysql_stmt_execute(pergunta) == 0 && mysql_stmt_bind_result(pergunta, saida) == 0;
    if (!feito) {
        reclamar("consulta recusada pelo banco: %s", mysql_stmt_error(pergunta));
        mysql_stmt_close(pergunta);
        return false;
    }
    int estado = 0;
    bool parou = false;
    while (!parou && (estado = mysql_stmt_fetch(pergunta)) == 0) {
        for (int i = 0; i < ncolunas; i++) {
            linha.nulo[i] = nulo[i];
            if (colunas[i] == coluna::TEXTO)
                linha.comprimento = nulo[i] ? 0 : linha.comprimento > PLACA_NOME_MAX
                                                       ? PLACA_NOME_MAX
                                                       : linha.comprimento;
            else if (nulo[i])
                linha.numero[i] = 0;
            else if (colunas[i] == coluna::INSTANTE)
                linha.numero[i] = instante_de(lidos[i]);
        }
        parou = !receber(linha);
    }
    // A row that stops coming (a read timeout) ends the loop like the last;
    // MYSQL_DATA_TRUNCATED cannot come: the buffer holds the longest name.
    // A link lost while the server still works leaves its reason on the
    // connection, not on the statement.
    if (!parou && estado != MYSQL_NO_DATA) {
        const char *razao = mysql_stmt_error(pergunta);
        reclamar("resposta do banco interrompida: %s", razao[0] != '\0' ? razao : mysql_error(banco));
        feito = false;
    }
    mysql_stmt_close(pergunta);
    return feito;
}
