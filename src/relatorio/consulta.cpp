// The report's queries, see consulta.h. The server hands over the rows of
// the period in the order of an index, and this file pairs each press with
// the next event of its key and sums the pairs per key. A key of a board
// whose rows come out of id order (a clock set back) is paired and summed
// by the server, with a query narrowed to that key; when the rows need
// more room than the pairing has, the server pairs and sums them all. This
// file files the server's answers by key.
#include "relatorio/consulta.h"

#include "common/reclamar.h"
#include "relatorio/calendario.h"

#include <cstdlib>
#include <cstring>
#include <mysql.h>

namespace {

// The room the client's pairing has (see pareamento); a log that needs more
// is paired by the server, the whole of it.
constexpr int PAREAMENTO_PLACAS_MAX = 2 * RELATORIO_PLACAS_MAX; // boards read, margin included
constexpr int PAREAMENTO_NULAS_MAX = 4096; // ON and OFF rows of unknown instant

// The rows of the period, read through the index on the column instante
// (the ctime text and its ms, computed by the server at INSERT, NULL when
// either is not readable): the bounds are bound as DATETIMEs. The rows
// whose instant is unknown are read whatever the period.
#define NO_PERIODO " AND (instante IS NULL OR instante BETWEEN ? AND ?)"
// A row's instant in ms on the TO_SECONDS scale; NULL when unknown.
#define INSTANTE_MS "TO_SECONDS(instante) * 1000 + MICROSECOND(instante) DIV 1000"

// A board as a number: its name is up to 1536 bytes, and carried through
// the pairing it makes the server's temporary tables spill to disk (twice
// the time over a million rows). Two independent checksums of the exact
// bytes, 63 bits so as to read as a signed number: two names that share
// both are not expected among a site's boards.
#define PLACA_NUMERO "((CRC32(placa) & 2147483647) << 32 | CRC32C(placa))"

// The server's pairing, for the rows the client cannot pair (see parear).
// Each ON and OFF row once, as numbers only, with its period's bounds (the
// first two ?s) and, in c, what it counts as (1, neither ON nor OFF, is
// counted apart):
//   0 out of the period     2 DATA not a ctime text    3 ms outside 0-999 (any DATA)
//   4 a press whose release is a 2 or a 3              5 a press released before it
//   6 a press paired with its release   8 a press alone   9 a readable release
// and in fecha whether it is a press whose next row is a readable release
// inside the period: a release counts as one without a press (SEM_PAR)
// unless one of those closes it, and the other row of a pair left out.
// x: the row's instant in ms on the TO_SECONDS scale, positive for a press
// and negative for a release (1 or 2 for a 2 or a 3); prox, the same of
// the key's next row on the same board: each board numbers its own rows,
// and a press on one is never released on another. A row of neither ON
// nor OFF splits no pair. The rows read are the period's and those within
// RELATORIO_MARGEM_MS of it (the next two ?s), whose pairs may cross its
// bounds; filtro narrows them further (to one board).
#define EVENTOS(parametros, filtro)                                                              \
    "(SELECT b, TECLA, x, prox, CASE WHEN ABS(x) <= 2 THEN 1 + ABS(x)"                       \
    " WHEN ABS(x) NOT BETWEEN p.de AND p.ate THEN 0 WHEN x < 0 THEN 9"                          \
    " WHEN prox < -2 THEN IF(-prox < x, 5, 6) WHEN prox < 0 THEN 4 ELSE 8 END AS c,"            \
    " COALESCE(x > 0 AND -prox BETWEEN GREATEST(p.de, 3) AND p.ate, FALSE) AS fecha, p.*"      \
    " FROM (SELECT " parametros ") p,"                                                           \
    " (SELECT b, TECLA, x, LEAD(x) OVER (PARTITION BY b, TECLA ORDER BY id) AS prox"             \
    " FROM (SELECT b, TECLA, id, IF(ESTADO = 'ON', 1, -1)"                                       \
    " * IFNULL(t, IF(ms BETWEEN 0 AND 999, 1, 2)) AS x"                                          \
    " FROM (SELECT id, TECLA, " PLACA_NUMERO " AS b, ESTADO, ms, " INSTANTE_MS " AS t"           \
    " FROM estado WHERE ESTADO IN ('ON', 'OFF')" NO_PERIODO filtro ") r) e) j) k"

// Per board, key, c and fecha: rows, their holds added up and the longest
// (for 6), the first and latest instant, the latest event.
#define PARES(filtro)                                                                            \
    "SELECT b, TECLA, c, fecha, COUNT(*), SUM(-prox - x), MAX(-prox - x), MIN(x), MAX(x),"       \
    " MAX(ABS(x)) FROM " EVENTOS("? AS de, ? AS ate", filtro)                                    \
    " WHERE c > 0 OR fecha GROUP BY b, TECLA, c, fecha"
// PARES, then the rows of neither ON nor OFF as c 1, placed by their
// instant when it reads. Those are grouped by an expression: grouped by
// TECLA itself, the server walks the index on (TECLA, id) and looks every
// row up, over ten times slower than a scan. In board order, the whole
// log's or one board's.
#define RESUMO(filtro)                                                                           \
    PARES(filtro)                                                                                \
    " UNION ALL SELECT " PLACA_NUMERO ", TECLA + 0, 1, 0, COUNT(*), 0, 0, 0, 0, 0 FROM estado"  \
    " WHERE ESTADO NOT IN ('ON', 'OFF')" NO_PERIODO filtro " GROUP BY 1, 2"
#define UMA_PLACA " AND placa = ?"
const char *const Resumo[] = {RESUMO(""), RESUMO(UMA_PLACA)};
// One key's pairs, for the boards whose rows of that key came out of id
// order: the server reads that key's rows alone, by the index on (TECLA,
// id) when it finds that cheaper. Of every board, or of one.
#define UMA_TECLA " AND TECLA = ?"
const char *const ParesDaTecla[] = {PARES(UMA_TECLA), PARES(UMA_PLACA UMA_TECLA)};
constexpr int RESUMO_COLUNAS = 10;
enum { FORA, ESTADO_DESCONHECIDO, DATA_ILEGIVEL, MS_INVALIDO, SOLTURA_ILEGIVEL, SOLTURA_ANTES,
       PAR, PRESSAO_SO = 8, SOLTURA };

// Paired presses per board, key and bar; as Resumo and ParesDaTecla, the
// whole log's, one board's, one key's, one key's of one board.
#define BARRAS(filtro)                                                                           \
    "SELECT b, TECLA, (x - inicio) DIV passo, COUNT(*) FROM "                                   \
    EVENTOS("? AS de, ? AS ate, ? AS inicio, ? AS passo", filtro)                                \
    " WHERE c = 6 GROUP BY 1, 2, 3"
const char *const Barras[] = {BARRAS(""), BARRAS(UMA_PLACA), BARRAS(UMA_TECLA),
                              BARRAS(UMA_PLACA UMA_TECLA)};
constexpr int BARRAS_COLUNAS = 4;

// The boards of the rows read (the period and its margin), each once, by
// name, with the number the other queries give it.
const char PLACAS[] =
    "SELECT " PLACA_NUMERO ", placa FROM estado WHERE TRUE" NO_PERIODO
    " GROUP BY placa COLLATE utf8mb4_bin ORDER BY placa COLLATE utf8mb4_bin";

// Whether the board has any row at all.
const char EXISTE_PLACA[] = "SELECT EXISTS (SELECT 1 FROM estado WHERE placa = ?)";

constexpr int COLUNAS_MAX = RESUMO_COLUNAS;
constexpr int VALORES_MAX = 8;

// A value bound to a ?: texto when not null, else numero, as a DATETIME
// when instante (numero in ms on the TO_SECONDS scale).
struct valor {
    long long numero;
    const char *texto;
    bool instante;
};

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

// The period's bounds widened by the margin, within what a DATETIME holds.
long long recuado(long long ms)
{
    return ms < INSTANTE_MIN + RELATORIO_MARGEM_MS ? INSTANTE_MIN : ms - RELATORIO_MARGEM_MS;
}

long long avancado(long long ms)
{
    return ms > INSTANTE_MAX - RELATORIO_MARGEM_MS ? INSTANTE_MAX : ms + RELATORIO_MARGEM_MS;
}

// A row of the answer: numbers, and the last column as text when asked for.
struct linha_lida {
    long long valor[COLUNAS_MAX];
    my_bool nulo[COLUNAS_MAX];
    char texto[PLACA_NOME_MAX + 1];
    unsigned long comprimento;
};

// The key's place, row by row (k / 4, k % 4), -1 for a code of no key.
int lugardatecla(long long tecla)
{
    for (int i = 0; i < 16; i++)
        if (Teclas[i / 4][i % 4] == tecla)
            return i;
    return -1;
}

resumo_tecla *resumodatecla(resumo_relatorio *resumo, long long tecla)
{
    int k = lugardatecla(tecla);
    return k < 0 ? nullptr : &resumo->tecla[k / 4][k % 4];
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

// Runs comando with valores bound to its ?s and hands each row to
// arquivar: numbers, the last column as text when com_texto; arquivar
// returns false to stop the answer there. The rows come as the server
// sends them, none kept by the client library. The period and the board
// travel as values, never as text of the query.
template <typename F>
bool perguntar(MYSQL *banco, const char *comando, const valor *valores, int nvalores,
               int ncolunas, bool com_texto, F arquivar)
{
    MYSQL_STMT *pergunta = mysql_stmt_init(banco);
    if (pergunta == nullptr) {
        reclamar("sem memoria para o cliente do banco");
        return false;
    }
    MYSQL_BIND entrada[VALORES_MAX] = {}, saida[COLUNAS_MAX] = {};
    MYSQL_TIME tempos[VALORES_MAX];
    linha_lida linha = {};
    for (int i = 0; i < nvalores; i++) {
        if (valores[i].instante) {
            paradatetime(valores[i].numero, &tempos[i]);
            entrada[i].buffer_type = MYSQL_TYPE_DATETIME;
            entrada[i].buffer = &tempos[i];
        } else if (valores[i].texto != nullptr) {
            entrada[i].buffer_type = MYSQL_TYPE_STRING;
            entrada[i].buffer = const_cast<char *>(valores[i].texto);
            entrada[i].buffer_length = strlen(valores[i].texto);
        } else {
            entrada[i].buffer_type = MYSQL_TYPE_LONGLONG;
            entrada[i].buffer = const_cast<long long *>(&valores[i].numero);
        }
    }
    for (int i = 0; i < ncolunas; i++) {
        saida[i].buffer_type = MYSQL_TYPE_LONGLONG;
        saida[i].buffer = &linha.valor[i];
        saida[i].is_null = &linha.nulo[i];
    }
    if (com_texto) {
        MYSQL_BIND &texto = saida[ncolunas - 1];
        texto.buffer_type = MYSQL_TYPE_STRING;
        texto.buffer = linha.texto;
        texto.buffer_length = sizeof linha.texto;
        texto.length = &linha.comprimento;
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
        for (int i = 0; i < ncolunas; i++)
            if (linha.nulo[i])
                linha.valor[i] = 0;
        if (com_texto)
            linha.texto[linha.comprimento < sizeof linha.texto ? linha.comprimento
                                                               : sizeof linha.texto - 1] = '\0';
        parou = !arquivar(linha);
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

// The summary of board numero among the boards from desde on, or nullptr.
resumo_placa *acharplaca(resumo_relatorio *resumo, long long numero, int desde)
{
    for (int i = desde; i < resumo->nplacas; i++)
        if (resumo->placa[i].numero == numero)
            return &resumo->placa[i];
    return nullptr;
}

// Files a group of rows of one board, key and c (v: a row of RESUMO) in
// resumo. Returns whether the board is among those kept.
bool somar(resumo_relatorio *resumo, const long long *v)
{
    linhas_ignoradas &ignoradas = resumo->ignoradas;
    long long tipo = v[2], linhas = v[4];
    bool fecha = v[3] != 0;
    // A board past those kept is summed up in the keys alone.
    resumo_placa *p = acharplaca(resumo, v[0], 0);
    if (p == nullptr && resumo->nplacas < RELATORIO_PLACAS_MAX) {
        p = &resumo->placa[resumo->nplacas++];
        p->numero = v[0];
    } else if (p == nullptr) {
        resumo->placas_a_mais = 1; // counted by nomear
    }
    resumo_placa sobra = {};
    resumo_placa &b = p != nullptr ? *p : sobra;
    if (tipo != FORA)
        b.eventos += linhas;
    if (tipo >= SOLTURA_ILEGIVEL && (!b.tem_ultimo || v[9] > b.ultimo)) {
        b.ultimo = v[9];
        b.tem_ultimo = true;
    }
    resumo_tecla *r = resumodatecla(resumo, v[1]);
    // Codes teclado never writes are no key of the keypad.
    if (r == nullptr) {
        if (tipo != FORA)
            ignoradas.tecla_desconhecida += linhas;
        return p != nullptr;
    }
    // A release closed by a press: no release alone, and left out
    // with its press when that is unreadable.
    if (fecha) {
        r->sem_par -= linhas;
        b.sem_par -= linhas;
        if (tipo == DATA_ILEGIVEL || tipo == MS_INVALIDO)
            ignoradas.par_ignorado += linhas;
    }
    switch (tipo) {
    case ESTADO_DESCONHECIDO: ignoradas.estado_desconhecido += linhas; break;
    case DATA_ILEGIVEL: ignoradas.data_ilegivel += linhas; break;
    case MS_INVALIDO: ignoradas.ms_invalido += linhas; break;
    case SOLTURA_ILEGIVEL: ignoradas.par_ignorado += linhas; break;
    case SOLTURA_ANTES: ignoradas.soltura_antes += 2 * linhas; break;
    case PAR: // in two lines when some of the releases lie past the period
        if (r->pressoes == 0 || v[6] > r->maior_ms)
            r->maior_ms = v[6];
        if (r->pressoes == 0 || v[7] < r->primeira_par)
            r->primeira_par = v[7];
        if (r->pressoes == 0 || v[8] > r->ultima_par)
            r->ultima_par = v[8];
        r->pressoes += linhas;
        r->soma_ms += v[5];
        b.pressoes += linhas;
        if (!r->tem_ultima || v[8] > r->ultima)
            r->ultima = v[8];
        r->tem_ultima = true;
        break;
    case PRESSAO_SO:
        if (!r->tem_ultima || v[8] > r->ultima)
            r->ultima = v[8];
        r->tem_ultima = true;
        r->sem_par += linhas;
        b.sem_par += linhas;
        break;
    case SOLTURA:
        r->sem_par += linhas;
        b.sem_par += linhas;
        break;
    }
    return p != nullptr;
}

// The rows read (the period, its margin and the rows of unknown instant;
// filtro narrows them to one board) as numbers, in the order of the index
// on instante, which hands them over without a sort: board, key, id, 1 for
// ON, -1 for OFF, 0 for neither, and the instant in ms on the TO_SECONDS
// scale (1 when DATA is not a ctime text, 2 when ms is outside 0-999).
#define LINHAS(filtro)                                                                           \
    "SELECT " PLACA_NUMERO ", TECLA, id, CASE WHEN ESTADO = 'ON' THEN 1 WHEN ESTADO = 'OFF'"    \
    " THEN -1 ELSE 0 END, IFNULL(" INSTANTE_MS ", IF(ms BETWEEN 0 AND 999, 1, 2))"              \
    " FROM estado WHERE TRUE" NO_PERIODO filtro " ORDER BY instante"
const char *const Linhas[] = {LINHAS(""), LINHAS(UMA_PLACA)};
constexpr int LINHAS_COLUNAS = 5;

// The keys of each board whose rows came out of id order (a clock set
// back between two events of the key, two events of it in the same ms):
// the client leaves them to the server, one query per key. todas: the rows
// needed more room than the client's pairing has, and the server paired
// the whole report.
struct teclas_apartadas {
    long long placa[PAREAMENTO_PLACAS_MAX];
    unsigned teclas[PAREAMENTO_PLACAS_MAX]; // bit k for the key lugardatecla puts at k
    int nplacas;
    bool todas;
};

// Whether key k of board placa is among a's; any board's when todas_placas.
bool apartada(const teclas_apartadas &a, long long placa, int k, bool todas_placas)
{
    for (int i = 0; i < a.nplacas; i++)
        if ((todas_placas || a.placa[i] == placa) && (a.teclas[i] >> k & 1) != 0)
            return true;
    return false;
}

// What pareamento below follows, each key of each board apart: the boards
// of the rows read, margin alone included; the ON and OFF rows of unknown
// instant, which the index hands over first, until their key's rows of
// known instant come.
struct ultima_linha {
    long long id, x;
    bool tem;
    bool apartada; // left to the server: its rows are no longer followed
    int nulo;      // the first of its rows of unknown instant still to pair, + 1
};
struct linha_nula {
    long long id, x;
    int proxima; // the next of its key by id, + 1
};
struct pareamento {
    long long de, ate; // the period, ms on the TO_SECONDS scale
    long long placa[PAREAMENTO_PLACAS_MAX];
    int nplacas;
    ultima_linha ultima[PAREAMENTO_PLACAS_MAX][16];
    linha_nula nula[PAREAMENTO_NULAS_MAX];
    int nnulas;
    bool com_instante; // a row of known instant has come
    const teclas_apartadas *ja; // keys left to the server before the read, or nullptr
    int novas;                  // keys the read itself left to the server
};

int lugardaplaca(pareamento *p, long long numero)
{
    for (int i = p->nplacas - 1; i >= 0; i--)
        if (p->placa[i] == numero)
            return i;
    if (p->nplacas == PAREAMENTO_PLACAS_MAX)
        return -1;
    p->placa[p->nplacas] = numero;
    for (int k = 0; k < 16 && p->ja != nullptr; k++)
        p->ultima[p->nplacas][k].apartada = apartada(*p->ja, numero, k, false);
    return p->nplacas++;
}

// A row of RESUMO for one row x (as EVENTOS has it) whose key's next row
// is prox (none when !tem_prox): what it counts as, as EVENTOS says.
void classificar(const pareamento &p, long long placa, long long tecla, long long x, long long prox,
                 bool tem_prox, long long *v)
{
    long long ax = x < 0 ? -x : x;
    long long c;
    if (ax <= 2)
        c = 1 + ax;
    else if (ax < p.de || ax > p.ate)
        c = FORA;
    else if (x < 0)
        c = SOLTURA;
    else if (tem_prox && prox < -2)
        c = -prox < x ? SOLTURA_ANTES : PAR;
    else if (tem_prox && prox < 0)
        c = SOLTURA_ILEGIVEL;
    else
        c = PRESSAO_SO;
    bool fecha = x > 0 && tem_prox && -prox >= (p.de > 3 ? p.de : 3) && -prox <= p.ate;
    long long segura = tem_prox ? -prox - x : 0;
    const long long linha[RESUMO_COLUNAS] = {placa, tecla, c, fecha, 1, segura, segura, x, x, ax};
    memcpy(v, linha, sizeof linha);
}

// Hands x of key k of board b, whose row is id, to its key's last row:
// that one now has its next and goes to arquivar. A row out of id order
// leaves the key to the server from then on. False when arquivar says stop.
template <typename F>
bool seguir(pareamento *p, int b, int k, long long tecla, long long id, long long x, F &arquivar)
{
    ultima_linha &u = p->ultima[b][k];
    if (u.apartada)
        return true;
    if (u.tem) {
        if (id <= u.id) {
            u.apartada = true;
            p->novas++;
            return true;
        }
        long long v[RESUMO_COLUNAS];
        classificar(*p, p->placa[b], tecla, u.x, x, true, v);
        if (!arquivar(v, b, k))
            return false;
    }
    u.id = id;
    u.x = x;
    u.tem = true;
    return true;
}

// The key's rows of unknown instant before id (all of them when id is 0).
template <typename F>
bool seguirnulas(pareamento *p, int b, int k, long long tecla, long long id, F &arquivar)
{
    ultima_linha &u = p->ultima[b][k];
    while (!u.apartada && u.nulo != 0 && (id == 0 || p->nula[u.nulo - 1].id < id)) {
        const linha_nula &n = p->nula[u.nulo - 1];
        u.nulo = n.proxima;
        if (!seguir(p, b, k, tecla, n.id, n.x, arquivar))
            return false;
    }
    return true;
}

enum pareado { PAREADO, SEM_LUGAR, FALHA };

// Pairs each ON and OFF row read with the next of its key on its board, by
// id, as EVENTOS does on the server, and hands arquivar a row of RESUMO
// for each (COUNT 1) whose c and fecha count, with the row's board and key
// as pareamento places them (-1, -1 for a row paired with none: a code of
// no key, ESTADO neither ON nor OFF), and one per row of neither ON nor
// OFF inside the period. The rows come in the order of an index, not
// sorted: a key whose rows come out of id order on a board (see
// teclas_apartadas) is left apart in p (zeroed by the caller) from its
// first row out of order on, and what arquivar had of it is not whole; so
// are the keys ja lists, from their first row. SEM_LUGAR when the rows
// exceed pareamento's room or arquivar says stop: its sums are then not
// whole.
template <typename F>
pareado parear(MYSQL *banco, const opcoes_relatorio &opcoes, const teclas_apartadas *ja,
               pareamento *pareando, F arquivar)
{
    pareamento &p = *pareando;
    p.de = opcoes.periodo_de;
    p.ate = opcoes.periodo_ate;
    p.ja = ja;
    const valor valores[] = {{recuado(p.de), nullptr, true},
                             {avancado(p.ate), nullptr, true},
                             {0, opcoes.placa, false}};
    bool uma = opcoes.placa != nullptr;
    bool sem_lugar = false;
    int placa = -1; // the last row's board: a board's own log has one
    bool feito = perguntar(banco, Linhas[uma], valores, uma ? 3 : 2, LINHAS_COLUNAS, false,
                           [&](const linha_lida &l) {
        const long long *v = l.valor;
        long long tecla = v[1], id = v[2], sinal = v[3], t = v[4];
        if (sinal == 0) {
            long long linha[RESUMO_COLUNAS] = {v[0], tecla, ESTADO_DESCONHECIDO, 0, 1};
            sem_lugar = (t <= 2 || (t >= p.de && t <= p.ate)) && !arquivar(linha, -1, -1);
            return !sem_lugar;
        }
        int k = lugardatecla(tecla);
        // A code of no key counts alone: whatever its next row, it is left
        // out, and a release that closes its press counts the board itself.
        if (k < 0) {
            long long linha[RESUMO_COLUNAS];
            classificar(p, v[0], tecla, sinal * t, 0, false, linha);
            sem_lugar = linha[2] != FORA && !arquivar(linha, -1, -1);
            return !sem_lugar;
        }
        if (placa < 0 || p.placa[placa] != v[0])
            placa = lugardaplaca(&p, v[0]);
        if (placa < 0) {
            sem_lugar = true;
            return false;
        }
        ultima_linha &u = p.ultima[placa][k];
        if (u.apartada)
            return true;
        if (t <= 2) {
            // Kept in id order until the key's first row of known instant.
            if (p.com_instante || p.nnulas == PAREAMENTO_NULAS_MAX) {
                sem_lugar = true;
                return false;
            }
            int *antes = &u.nulo;
            while (*antes != 0 && p.nula[*antes - 1].id < id)
                antes = &p.nula[*antes - 1].proxima;
            p.nula[p.nnulas] = {id, sinal * t, *antes};
            *antes = ++p.nnulas;
            return true;
        }
        p.com_instante = true;
        sem_lugar = !seguirnulas(&p, placa, k, tecla, id, arquivar) ||
                    !seguir(&p, placa, k, tecla, id, sinal * t, arquivar);
        return !sem_lugar;
    });
    if (!feito)
        return FALHA;
    for (int b = 0; b < p.nplacas && !sem_lugar; b++)
        for (int k = 0; k < 16 && !sem_lugar; k++) {
            long long tecla = Teclas[k / 4][k % 4];
            sem_lugar = !seguirnulas(&p, b, k, tecla, 0, arquivar);
            ultima_linha &u = p.ultima[b][k];
            if (!sem_lugar && u.tem && !u.apartada) {
                long long v[RESUMO_COLUNAS];
                classificar(p, p.placa[b], tecla, u.x, 0, false, v);
                sem_lugar = !arquivar(v, b, k);
            }
        }
    return sem_lugar ? SEM_LUGAR : PAREADO;
}

// The sums of one key of one board, kept apart until the read ends: RESUMO's
// rows of that key and board added up, per c and fecha. The maxima and
// minima are those of every row of their c (the rows' instants are 3 or
// more, their holds not negative: 0 stands for none).
struct soma_tecla {
    unsigned linhas[10][2];
    long long soma_ms, maior_ms, primeira_par, ultima_par; // of PAR
    long long ultima_so;                                    // of PRESSAO_SO
    long long ultimo; // the latest instant of SOLTURA_ILEGIVEL and on
};
// Those of the first RELATORIO_PLACAS_MAX boards with rows that count:
// more go past resumo's room anyway.
struct somas_apartadas {
    int lugar[PAREAMENTO_PLACAS_MAX]; // per board of pareamento: its place in tecla, + 1
    soma_tecla tecla[RELATORIO_PLACAS_MAX][16];
    int nplacas;
};

// Adds a row of RESUMO of key k of board b to s; false when the boards or
// a count exceed its room.
bool apartar(somas_apartadas *s, int b, int k, const long long *v)
{
    if (s->lugar[b] == 0) {
        if (s->nplacas == RELATORIO_PLACAS_MAX)
            return false;
        s->lugar[b] = ++s->nplacas;
    }
    soma_tecla &t = s->tecla[s->lugar[b] - 1][k];
    long long tipo = v[2], x = v[7];
    unsigned &linhas = t.linhas[tipo][v[3] != 0];
    if (linhas == ~0U)
        return false;
    if (tipo == PAR) {
        if (t.linhas[PAR][0] + t.linhas[PAR][1] == 0 || x < t.primeira_par)
            t.primeira_par = x;
        t.soma_ms += v[5];
        t.maior_ms = v[6] > t.maior_ms ? v[6] : t.maior_ms;
        t.ultima_par = x > t.ultima_par ? x : t.ultima_par;
    } else if (tipo == PRESSAO_SO && x > t.ultima_so) {
        t.ultima_so = x;
    }
    if (tipo >= SOLTURA_ILEGIVEL && v[9] > t.ultimo)
        t.ultimo = v[9];
    linhas++;
    return true;
}

// Files the sums of key tecla of board placa in resumo, as somar files
// RESUMO's rows of them. False as somar says.
bool somartecla(resumo_relatorio *resumo, long long placa, long long tecla, const soma_tecla &t)
{
    long long soma_ms = t.soma_ms; // once, whatever the rows' fecha
    for (int tipo = 0; tipo < 10; tipo++)
        for (int fecha = 0; fecha < 2; fecha++) {
            if (t.linhas[tipo][fecha] == 0)
                continue;
            const long long v[RESUMO_COLUNAS] = {
                placa, tecla, tipo, fecha, t.linhas[tipo][fecha], tipo == PAR ? soma_ms : 0,
                t.maior_ms, t.primeira_par, tipo == PAR ? t.ultima_par : t.ultima_so, t.ultimo};
            if (tipo == PAR)
                soma_ms = 0;
            if (!somar(resumo, v))
                return false;
        }
    return true;
}

// Files in resumo the sums of every key of every board p read but those p
// left apart, which go to apartadas. False when the boards exceed resumo's
// room.
bool juntar(const pareamento &p, const somas_apartadas &s, resumo_relatorio *resumo,
            teclas_apartadas *apartadas)
{
    for (int b = 0; b < p.nplacas; b++) {
        unsigned teclas = 0;
        for (int k = 0; k < 16; k++)
            teclas |= p.ultima[b][k].apartada ? 1U << k : 0;
        if (teclas != 0) {
            apartadas->placa[apartadas->nplacas] = p.placa[b];
            apartadas->teclas[apartadas->nplacas++] = teclas;
        }
        for (int k = 0; k < 16 && s.lugar[b] != 0; k++)
            if ((teclas >> k & 1) == 0 &&
                !somartecla(resumo, p.placa[b], Teclas[k / 4][k % 4], s.tecla[s.lugar[b] - 1][k]))
                return false;
    }
    return true;
}

// Names the boards resumir found and puts them in name order; counts in
// placas_a_mais those past RELATORIO_PLACAS_MAX. valores: resumir's.
bool nomear(MYSQL *banco, const valor *valores, resumo_relatorio *resumo)
{
    bool cheio = resumo->nplacas == RELATORIO_PLACAS_MAX;
    int nomeadas = 0;
    resumo->placas_a_mais = 0;
    return perguntar(banco, PLACAS, &valores[2], 2, 2, true, [&](const linha_lida &l) {
        resumo_placa *p = acharplaca(resumo, l.valor[0], nomeadas);
        // Not among those kept: one more when all the room is taken, else a
        // board whose rows lie in the margin alone.
        if (p == nullptr) {
            resumo->placas_a_mais += cheio;
            return true;
        }
        resumo_placa &lugar = resumo->placa[nomeadas++];
        if (p != &lugar) {
            resumo_placa troca = lugar;
            lugar = *p;
            *p = troca;
        }
        snprintf(lugar.nome, sizeof lugar.nome, "%s", l.texto);
        return true;
    });
}

// Pairs on the client when the rows allow, but the keys apartadas lists
// (which it fills), which the server pairs one by one; else (apartadas'
// todas) the whole report on the server.
bool resumir(MYSQL *banco, const opcoes_relatorio &opcoes, resumo_relatorio *resumo,
             teclas_apartadas *apartadas)
{
    const char *placa = opcoes.placa;
    const long long de = opcoes.periodo_de, ate = opcoes.periodo_ate;
    const valor valores[] = {{de, nullptr, false},          {ate, nullptr, false},
                             {recuado(de), nullptr, true},  {avancado(ate), nullptr, true},
                             {0, placa, false},             {de, nullptr, true},
                             {ate, nullptr, true},          {0, placa, false}};
    // Without a board: the values of the query that reads every board.
    const valor todas[] = {valores[0], valores[1], valores[2], valores[3], valores[5], valores[6]};
    pareamento p = {};
    somas_apartadas somas = {};
    pareado modo = parear(banco, opcoes, nullptr, &p, [&](const long long *v, int b, int k) {
        if (v[2] == FORA && v[3] == 0)
            return true;
        return b < 0 ? somar(resumo, v) : apartar(&somas, b, k, v);
    });
    if (modo == PAREADO && !juntar(p, somas, resumo, apartadas))
        modo = SEM_LUGAR;
    // The keys left apart, one query each; of its answer, the boards that
    // left the key apart.
    bool uma = placa != nullptr;
    for (int k = 0; k < 16 && modo == PAREADO; k++) {
        if (!apartada(*apartadas, 0, k, true))
            continue;
        const valor da_tecla[] = {valores[0], valores[1], valores[2], valores[3],
                                  uma ? valores[4] : valor{Teclas[k / 4][k % 4], nullptr, false},
                                  {Teclas[k / 4][k % 4], nullptr, false}};
        bool feito = perguntar(banco, ParesDaTecla[uma], da_tecla, uma ? 6 : 5, RESUMO_COLUNAS,
                               false, [&](const linha_lida &l) {
            if (apartada(*apartadas, l.valor[0], k, false) && !somar(resumo, l.valor))
                modo = SEM_LUGAR;
            return modo == PAREADO;
        });
        if (!feito)
            return false;
    }
    bool feito = modo != FALHA;
    if (modo == SEM_LUGAR) {
        *resumo = {};
        *apartadas = {};
        apartadas->todas = true;
        feito = perguntar(banco, Resumo[placa != nullptr], placa != nullptr ? valores : todas,
                           placa != nullptr ? 8 : 6, RESUMO_COLUNAS, false,
                           [&](const linha_lida &l) {
                               somar(resumo, l.valor);
                               return true;
                           });
    }
    if (!feito)
        return false;
    // A board with no row near the period may have none at all: a misspelt name.
    if (placa != nullptr && resumo->nplacas == 0)
        return perguntar(banco, EXISTE_PLACA, &valores[4], 1, 1, false,
                         [&](const linha_lida &l) {
                             resumo->placa_ausente = l.valor[0] == 0;
                             return true;
                         });
    // The boards' names, only for the lines of two boards or more: a board's
    // own log is not read once more for them.
    if (placa == nullptr && resumo->nplacas + resumo->placas_a_mais >= 2 &&
        !nomear(banco, valores, resumo))
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
// ones resumir counted, key by key, so the bars add up to its total: the
// keys it left apart are counted by the server, those keys alone, unless
// the rows read now leave another one apart or need more room; then, as
// when resumir's were counted by the server, the whole picture is.
bool contarporhora(MYSQL *banco, const opcoes_relatorio &opcoes,
                   const teclas_apartadas &apartadas, resumo_relatorio *resumo)
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

    const valor valores[] = {{opcoes.periodo_de, nullptr, false},
                             {opcoes.periodo_ate, nullptr, false},
                             {resumo->inicio_barras, nullptr, false},
                             {resumo->horas_por_barra * MS_POR_HORA, nullptr, false},
                             {recuado(opcoes.periodo_de), nullptr, true},
                             {avancado(opcoes.periodo_ate), nullptr, true},
                             {0, opcoes.placa, false},
                             {0, nullptr, false}};
    bool uma = opcoes.placa != nullptr;
    // k: the key asked for alone, -1 for all of them.
    auto contar = [&](int k) {
        valor da_tecla[8];
        memcpy(da_tecla, valores, sizeof valores);
        if (k >= 0)
            da_tecla[uma ? 7 : 6] = {Teclas[k / 4][k % 4], nullptr, false};
        return perguntar(banco, Barras[uma + 2 * (k >= 0)], da_tecla, 6 + uma + (k >= 0),
                         BARRAS_COLUNAS, false, [&](const linha_lida &l) {
            long long barra = l.valor[2];
            if (resumodatecla(resumo, l.valor[1]) != nullptr && barra >= 0 && barra < nbarras &&
                (k < 0 || apartada(apartadas, l.valor[0], k, false)))
                resumo->barras[barra] += l.valor[3];
            return true;
        });
    };
    if (!apartadas.todas) {
        pareamento p = {};
        pareado modo = parear(banco, opcoes, &apartadas, &p, [&](const long long *v, int, int) {
            if (v[2] == PAR && resumodatecla(resumo, v[1]) != nullptr) {
                long long barra = (v[7] - resumo->inicio_barras) / valores[3].numero;
                if (barra >= 0 && barra < nbarras)
                    resumo->barras[barra]++;
            }
            return true;
        });
        if (modo == FALHA)
            return false;
        // Rows written since the summary may have left another key apart.
        if (modo == PAREADO && p.novas == 0) {
            for (int k = 0; k < 16; k++)
                if (apartada(apartadas, 0, k, true) && !contar(k))
                    return false;
            return true;
        }
        for (int i = 0; i < nbarras; i++)
            resumo->barras[i] = 0;
    }
    return contar(-1);
}

} // namespace

bool consultar(const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo)
{
    MYSQL banco;
    if (!conectar(&banco, opcoes))
        return false;
    teclas_apartadas apartadas = {};
    bool feito = ajustarsessao(&banco) && resumir(&banco, opcoes, resumo, &apartadas) &&
                 (!com_barras || contarporhora(&banco, opcoes, apartadas, resumo));
    mysql_close(&banco);
    return feito;
}
