// The report's queries, see consulta.h. The server pairs each press with
// the next event of its key and sums the pairs per key; this file only
// asks and files the answers by key.
#include "relatorio/consulta.h"

#include "common/reclamar.h"
#include "relatorio/calendario.h"

#include <cstdlib>
#include <cstring>
#include <mysql.h>

namespace {

// Each row of estado once, as numbers only, classified in c:
//   1 ESTADO neither ON nor OFF   2 DATA not a ctime text   3 ms outside 0-999
//   4 its pair's other row is one of those                  5 a release before its press
//   6 a press paired with its release   7 that release   8 a press alone   9 a release alone
// t is the row's instant in ms on the TO_SECONDS scale (NULL for 2 and 3),
// prox_t the instant of the key's next event. Rows of an unknown ESTADO are
// paired apart, so they split no pair.
#define LINHAS                                                                                   \
    "(SELECT TECLA, t, prox_t,"                                                                  \
    " CASE WHEN sentido IS NULL THEN 1 WHEN s IS NULL THEN 2 WHEN t IS NULL THEN 3"             \
    " WHEN sentido = 1 AND prox_s = -1 THEN IF(prox_t IS NULL, 4, IF(prox_t < t, 5, 6))"        \
    " WHEN sentido = -1 AND ant_s = 1 THEN IF(ant_t IS NULL, 4, IF(t < ant_t, 5, 7))"           \
    " WHEN sentido = 1 THEN 8 ELSE 9 END AS c"                                                   \
    " FROM (SELECT TECLA, sentido, s, t, LEAD(sentido) OVER w AS prox_s, LEAD(t) OVER w AS prox_t," \
    " LAG(sentido) OVER w AS ant_s, LAG(t) OVER w AS ant_t"                                      \
    " FROM (SELECT id, TECLA, CASE ESTADO WHEN 'ON' THEN 1 WHEN 'OFF' THEN -1 END AS sentido, s," \
    " IF(ms BETWEEN 0 AND 999, s * 1000 + ms, NULL) AS t"                                        \
    " FROM (SELECT id, TECLA, ESTADO, ms,"                                                       \
    " TO_SECONDS(STR_TO_DATE(LEFT(DATA, 24), '%a %b %e %H:%i:%s %Y')) AS s FROM estado) r) e"   \
    " WINDOW w AS (PARTITION BY TECLA, sentido IS NULL ORDER BY id)) j) l"

// LINHAS beside the values bound to the ?s of parametros (de and ate, the
// period, first), and dentro: t lies in the period, or is unknown (such a
// row is counted whatever the period).
#define NO_PERIODO(parametros)                                                                   \
    "(SELECT l.*, p.*, IFNULL(l.t BETWEEN p.de AND p.ate, TRUE) AS dentro"                     \
    " FROM (SELECT " parametros ") p, " LINHAS ") k"

// Per key: the figures of resumo_tecla, the ignored rows by reason, and
// all its rows (for a code that is no key). A pair counts in the period of
// its press; a row alone or left out, in its own.
const char RESUMO[] =
    "SELECT TECLA, SUM(c = 6 AND dentro), SUM(IF(c = 6 AND dentro, prox_t - t, 0)),"
    " MAX(IF(c = 6 AND dentro, prox_t - t, NULL)), MAX(IF(c IN (6, 8) AND dentro, t, NULL)),"
    " SUM(c IN (8, 9) AND dentro), MIN(IF(c = 6 AND dentro, t, NULL)),"
    " MAX(IF(c = 6 AND dentro, t, NULL)), SUM(c = 2 AND dentro), SUM(c = 3 AND dentro),"
    " SUM(c = 1 AND dentro), SUM(c = 4 AND dentro), SUM(c = 5 AND dentro), SUM(dentro)"
    " FROM " NO_PERIODO("? AS de, ? AS ate") " GROUP BY TECLA";
constexpr int RESUMO_COLUNAS = 14;

// Paired presses per key and bar.
const char BARRAS[] =
    "SELECT TECLA, (t - inicio) DIV passo, COUNT(*)"
    " FROM " NO_PERIODO("? AS de, ? AS ate, ? AS inicio, ? AS passo")
    " WHERE c = 6 AND dentro GROUP BY 1, 2";
constexpr int BARRAS_COLUNAS = 3;

constexpr int COLUNAS_MAX = RESUMO_COLUNAS;

struct linha_lida {
    long long valor[COLUNAS_MAX];
    my_bool nulo[COLUNAS_MAX];
};

resumo_tecla *resumodatecla(resumo_relatorio *resumo, long long tecla)
{
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            if (Teclas[l][c] == tecla)
                return &resumo->tecla[l][c];
    return nullptr;
}

// Logs in as teclado does unless told otherwise. The [client] group of the
// option files may name the user, password and server, the way the mariadb
// client reads them; the command line beats them, and MYSQL_UNIX_PORT beats
// a socket named there (Debian's own files name the system server's).
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

bool ajustarsessao(MYSQL *banco)
{
    char ajuste[160];
    snprintf(ajuste, sizeof ajuste,
             "SET SESSION tmp_table_size = %lu, max_heap_table_size = %lu,"
             " sort_buffer_size = %lu",
             RELATORIO_MEMORIA_TEMP, RELATORIO_MEMORIA_TEMP, RELATORIO_MEMORIA_ORDEM);
    if (mysql_query(banco, ajuste) != 0) {
        reclamar("consulta recusada pelo banco: %s", mysql_error(banco));
        return false;
    }
    return true;
}

// Runs comando with valores bound to its ?s and hands each row of numbers
// to arquivar. The period travels as values, never as text of the query.
template <typename F>
bool perguntar(MYSQL *banco, const char *comando, const long long *valores, int nvalores,
               int ncolunas, F arquivar)
{
    MYSQL_STMT *pergunta = mysql_stmt_init(banco);
    if (pergunta == nullptr) {
        reclamar("sem memoria para o cliente do banco");
        return false;
    }
    MYSQL_BIND entrada[4] = {}, saida[COLUNAS_MAX] = {};
    linha_lida linha = {};
    for (int i = 0; i < nvalores; i++) {
        entrada[i].buffer_type = MYSQL_TYPE_LONGLONG;
        entrada[i].buffer = const_cast<long long *>(&valores[i]);
    }
    for (int i = 0; i < ncolunas; i++) {
        saida[i].buffer_type = MYSQL_TYPE_LONGLONG;
        saida[i].buffer = &linha.valor[i];
        saida[i].is_null = &linha.nulo[i];
    }
    bool feito = mysql_stmt_prepare(pergunta, comando, strlen(comando)) == 0 &&
                 mysql_stmt_bind_param(pergunta, entrada) == 0 &&
                 mysql_stmt_execute(pergunta) == 0 && mysql_stmt_bind_result(pergunta, saida) == 0;
    if (!feito) {
        reclamar("consulta recusada pelo banco: %s", mysql_stmt_error(pergunta));
        mysql_stmt_close(pergunta);
        return false;
    }
    int estado;
    while ((estado = mysql_stmt_fetch(pergunta)) == 0) {
        for (int i = 0; i < ncolunas; i++)
            if (linha.nulo[i])
                linha.valor[i] = 0;
        arquivar(linha);
    }
    // A row that stops coming (a read timeout) ends the loop like the last.
    if (estado != MYSQL_NO_DATA) {
        reclamar("resposta do banco interrompida: %s", mysql_stmt_error(pergunta));
        feito = false;
    }
    mysql_stmt_close(pergunta);
    return feito;
}

bool resumir(MYSQL *banco, const opcoes_relatorio &opcoes, resumo_relatorio *resumo)
{
    const long long periodo[] = {opcoes.periodo_de, opcoes.periodo_ate};
    linhas_ignoradas &ignoradas = resumo->ignoradas;
    bool feito = perguntar(banco, RESUMO, periodo, 2, RESUMO_COLUNAS, [&](const linha_lida &l) {
        const long long *v = l.valor;
        resumo_tecla *r = resumodatecla(resumo, v[0]);
        // Codes teclado never writes are no key of the keypad.
        if (r == nullptr) {
            ignoradas.tecla_desconhecida += v[13];
            return;
        }
        r->pressoes = v[1];
        r->soma_ms = v[2];
        r->maior_ms = v[3];
        r->tem_ultima = !l.nulo[4];
        r->ultima = v[4];
        r->sem_par = v[5];
        r->primeira_par = v[6];
        r->ultima_par = v[7];
        ignoradas.data_ilegivel += v[8];
        ignoradas.ms_invalido += v[9];
        ignoradas.estado_desconhecido += v[10];
        ignoradas.par_ignorado += v[11];
        ignoradas.soltura_antes += v[12];
    });
    if (!feito)
        return false;

    resumo_tecla &total = resumo->total;
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++) {
            const resumo_tecla &r = resumo->tecla[l][c];
            if (r.pressoes > 0) {
                if (total.pressoes == 0 || r.maior_ms > total.maior_ms)
                    total.maior_ms = r.maior_ms;
                if (total.pressoes == 0 || r.primeira_par < total.primeira_par)
                    total.primeira_par = r.primeira_par;
                if (total.pressoes == 0 || r.ultima_par > total.ultima_par)
                    total.ultima_par = r.ultima_par;
                total.pressoes += r.pressoes;
                total.soma_ms += r.soma_ms;
            }
            if (r.tem_ultima && (!total.tem_ultima || r.ultima > total.ultima)) {
                total.ultima = r.ultima;
                total.tem_ultima = true;
            }
            total.sem_par += r.sem_par;
        }
    return true;
}

// Paired presses per hour, from the period's first hour (or the first
// press's) to its last (or the latest press's). A period too long for
// RELATORIO_BARRAS_MAX bars puts several hours in each. The pairs are the
// ones resumir counted, key by key, so the bars add up to its total.
bool contarporhora(MYSQL *banco, const opcoes_relatorio &opcoes, resumo_relatorio *resumo)
{
    resumo->nbarras = 0;
    if (resumo->total.pressoes == 0)
        return true;
    long long de = opcoes.desde != nullptr ? opcoes.periodo_de : resumo->total.primeira_par;
    long long ate = opcoes.ate != nullptr ? opcoes.periodo_ate : resumo->total.ultima_par;
    resumo->inicio_barras = de - de % MS_POR_HORA;
    long long horas = (ate - resumo->inicio_barras) / MS_POR_HORA + 1;
    resumo->horas_por_barra = (horas + RELATORIO_BARRAS_MAX - 1) / RELATORIO_BARRAS_MAX;
    int nbarras = static_cast<int>((horas + resumo->horas_por_barra - 1) / resumo->horas_por_barra);
    resumo->nbarras = nbarras;

    const long long valores[] = {opcoes.periodo_de, opcoes.periodo_ate, resumo->inicio_barras,
                                 resumo->horas_por_barra * MS_POR_HORA};
    return perguntar(banco, BARRAS, valores, 4, BARRAS_COLUNAS, [&](const linha_lida &l) {
        long long barra = l.valor[1];
        if (resumodatecla(resumo, l.valor[0]) != nullptr && barra >= 0 && barra < nbarras)
            resumo->barras[barra] += l.valor[2];
    });
}

} // namespace

bool consultar(const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo)
{
    MYSQL banco;
    if (!conectar(&banco, opcoes))
        return false;
    bool feito = ajustarsessao(&banco) && resumir(&banco, opcoes, resumo) &&
                 (!com_barras || contarporhora(&banco, opcoes, resumo));
    mysql_close(&banco);
    return feito;
}
