// The report's reading, see consulta.h. The server only reads rows; the
// pairing and the sums are the report's own (pareamento.h, somas.h).
#include "relatorio/consulta.h"

#include "relatorio/banco.h"
#include "relatorio/pareamento.h"
#include "relatorio/somas.h"

namespace {

// The rows read: the period's, those within RELATORIO_MARGEM_MS of it
// (whose pairs may cross its bounds) and those whose instant is unknown,
// as numbers but the board: board, key, id, 2 for ON, 1 for OFF, 0 for
// neither (the server's own comparison, by the column's collation: FIELD
// compares as = does, and costs the server about 6% less than a CASE on
// a central's day of ten million rows), the column instante (the ctime text
// and its ms, computed by the server at INSERT, NULL when either is not
// readable) and ms, which then tells which. Both are sent as stored and
// made numbers here: computed by the server, row by row, they cost it a
// quarter of its time on that day. The bounds are bound as DATETIMEs.
// Through the index on instante, which holds every column asked for, or
// on a central server for one board its index on placa and instante: both
// give the rows in instant order with no sort, and ORDER BY makes the
// server take them rather than compute every row's instant again. The
// pairing sorts by id what needs it.
#define LINHAS(filtro)                                                              \
    "SELECT placa, TECLA, id, FIELD(ESTADO, 'OFF', 'ON'), instante, ms FROM estado" \
    " WHERE (instante IS NULL OR instante BETWEEN ? AND ?)" filtro " ORDER BY instante"
const char *const Linhas[] = {LINHAS(""), LINHAS(" AND placa = ?")};
const coluna LINHAS_COLUNAS[] = {coluna::TEXTO,  coluna::NUMERO,   coluna::NUMERO,
                                 coluna::NUMERO, coluna::INSTANTE, coluna::NUMERO};

// Whether the board has any row at all.
const char EXISTE_PLACA[] = "SELECT EXISTS (SELECT 1 FROM estado WHERE placa = ?)";
const coluna UM_NUMERO = coluna::NUMERO;

evento lido(const linha_lida &l)
{
    long long instante = !l.nulo[4]                            ? l.numero[4]
                         : l.numero[5] >= 0 && l.numero[5] <= 999 ? SEM_DATA
                                                                  : MS_FORA;
    int sinal = l.numero[3] == 2 ? 1 : l.numero[3] == 1 ? -1 : 0;
    return {l.numero[1], l.numero[2], sinal, instante};
}

// The period's bounds widened by the margin; bound as DATETIMEs, the link
// keeps them within what a DATETIME holds.
long long recuado(long long ms)
{
    return ms < RELATORIO_MARGEM_MS ? 0 : ms - RELATORIO_MARGEM_MS;
}

long long avancado(long long ms)
{
    return ms > 9223372036854775807LL - RELATORIO_MARGEM_MS ? ms : ms + RELATORIO_MARGEM_MS;
}

bool ler(MYSQL *banco, const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo)
{
    bool uma = opcoes.placa != nullptr;
    const valor valores[] = {{valor::INSTANTE, recuado(opcoes.periodo_de), nullptr},
                             {valor::INSTANTE, avancado(opcoes.periodo_ate), nullptr},
                             {valor::TEXTO, 0, opcoes.placa}};
    pareamento p;
    comecar(&p, opcoes.periodo_de, opcoes.periodo_ate, com_barras);
    if (!perguntar(banco, Linhas[uma], valores, uma ? 3 : 2, LINHAS_COLUNAS, 6,
                   [&](const linha_lida &l) {
                       receber(&p, l.texto, l.comprimento, lido(l));
                       return true;
                   }))
        return false;
    terminar(&p);
    juntar(p.somas, opcoes, com_barras, resumo);
    // A board with no row near the period may have none at all: a misspelt name.
    if (uma && resumo->placas.empty())
        return perguntar(banco, EXISTE_PLACA, &valores[2], 1, &UM_NUMERO, 1, [&](const linha_lida &l) {
            resumo->placa_ausente = l.numero[0] == 0;
            return true;
        });
    return true;
}

} // namespace

bool consultar(const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo)
{
    MYSQL banco;
    if (!conectar(&banco, opcoes))
        return false;
    bool feito = ler(&banco, opcoes, com_barras, resumo);
    mysql_close(&banco);
    return feito;
}
