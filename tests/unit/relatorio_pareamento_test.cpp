// The report's pairing and sums with no server: rows in, as an index would
// hand them over, the figures of the table out. One case per rule.
#include "relatorio/pareamento.h"
#include "relatorio/tabela.h"

#include <gtest/gtest.h>

namespace {

const long long DIA = 740000LL * 86400000; // a day's first ms on the TO_SECONDS scale
const long long T = DIA + 10 * 3600000LL;  // 10:00 that day
const long long ON = 1, OFF = -1, XX = 0;

struct linha {
    const char *placa;
    long long tecla, id, sinal, instante;
};

opcoes_relatorio entre(long long de, long long ate)
{
    opcoes_relatorio o = {};
    o.periodo_de = de;
    o.periodo_ate = ate;
    return o;
}

// Feeds linhas in their order and sums up.
resumo_relatorio resumir(const std::vector<linha> &linhas, const opcoes_relatorio &o)
{
    pareamento p;
    comecar(&p, o.periodo_de, o.periodo_ate, true);
    for (const linha &l : linhas)
        receber(&p, l.placa, strlen(l.placa), {l.tecla, l.id, static_cast<int>(l.sinal), l.instante});
    terminar(&p);
    resumo_relatorio r = {};
    juntar(p.somas, o, true, &r);
    return r;
}

struct caso {
    const char *regra;
    std::vector<linha> linhas;
    long long pressoes, soma_ms, sem_par;
    const char *ignoradas;
    opcoes_relatorio periodo = entre(0, 9223372036854775807LL);
};

const caso Casos[] = {
    {"a pair", {{"a", 5, 1, ON, T}, {"a", 5, 2, OFF, T + 120}}, 1, 120, 0, ""},
    {"a press alone, then a pair", {{"a", 5, 1, ON, T}, {"a", 5, 2, ON, T + 9}, {"a", 5, 3, OFF, T + 20}},
     1, 11, 1, ""},
    {"a release alone", {{"a", 5, 1, OFF, T}}, 0, 0, 1, ""},
    {"a release before its press", {{"a", 5, 1, ON, T}, {"a", 5, 2, OFF, T - 5000}}, 0, 0, 0,
     "2 linhas ignoradas: 2 soltura antes da pressao"},
    {"ms out of range", {{"a", 5, 1, ON, MS_FORA}, {"a", 5, 2, OFF, T}}, 0, 0, 0,
     "2 linhas ignoradas: 1 ms fora de 0-999, 1 par de linha ignorada"},
    {"unreadable text", {{"a", 5, 1, ON, T}, {"a", 5, 2, OFF, SEM_DATA}}, 0, 0, 0,
     "2 linhas ignoradas: 1 data ilegivel, 1 par de linha ignorada"},
    {"ESTADO of neither splits no pair",
     {{"a", 5, 1, ON, T}, {"a", 5, 2, XX, T + 1}, {"a", 5, 3, OFF, T + 7}}, 1, 7, 0,
     "1 linha ignorada: 1 estado desconhecido"},
    {"a pair across the period's start", {{"a", 5, 1, ON, DIA - 100}, {"a", 5, 2, OFF, DIA + 100}}, 0,
     0, 0, "", entre(DIA, DIA + 86399999)},
    {"a pair across the period's end", {{"a", 5, 1, ON, DIA - 100}, {"a", 5, 2, OFF, DIA + 100}}, 1,
     200, 0, "", entre(0, DIA - 1)},
    {"a code of no key", {{"a", 99, 1, ON, T}, {"a", 99, 2, OFF, T + 5}}, 0, 0, 0,
     "2 linhas ignoradas: 2 tecla desconhecida"},
    {"a press on one board released on another", {{"a", 5, 1, ON, T}, {"b", 5, 1, OFF, T + 5}}, 0, 0,
     2, ""},
    // The rows of unknown instant come first; a clock set back brings key 5
    // out of id order.
    {"ids out of order",
     {{"a", 5, 4, OFF, SEM_DATA}, {"a", 5, 3, ON, T - 3600000}, {"a", 5, 1, ON, T},
      {"a", 5, 2, OFF, T + 50}, {"a", 5, 5, ON, T + 60}, {"a", 5, 6, OFF, T + 90}},
     2, 80, 0, "2 linhas ignoradas: 1 data ilegivel, 1 par de linha ignorada"},
};

TEST(Pareamento, OneRulePerCase)
{
    for (const caso &c : Casos) {
        resumo_relatorio r = resumir(c.linhas, c.periodo);
        char ignoradas[256];
        escreverignoradas(r.ignoradas, ignoradas, sizeof ignoradas);
        EXPECT_EQ(r.total.pressoes, c.pressoes) << c.regra;
        EXPECT_EQ(r.total.soma_ms, c.soma_ms) << c.regra;
        EXPECT_EQ(r.total.sem_par, c.sem_par) << c.regra;
        EXPECT_STREQ(ignoradas, c.ignoradas) << c.regra;
    }
}

// Each board's line carries its own rows whichever board's rows come first,
// and the chart counts the pairs the table counts.
TEST(Pareamento, BoardLinesAndBarsFollowTheirOwnRows)
{
    resumo_relatorio r = resumir({{"porta-b", 5, 1, ON, T}, {"porta-b", 5, 2, OFF, T + 10},
                                  {"porta-b", 5, 3, ON, T + 20}, {"porta-a", 7, 1, ON, T + 30},
                                  {"porta-a", 7, 2, OFF, T + 40}, {"porta-a", 7, 3, ON, T + 3600000},
                                  {"porta-a", 7, 4, OFF, T + 3600010}},
                                 entre(DIA, DIA + 86399999));
    ASSERT_EQ(r.placas.size(), 2U);
    EXPECT_EQ(r.placas[0].nome, "porta-a");
    EXPECT_EQ(r.placas[0].eventos, 4);
    EXPECT_EQ(r.placas[0].pressoes, 2);
    EXPECT_EQ(r.placas[0].sem_par, 0);
    EXPECT_EQ(r.placas[1].nome, "porta-b");
    EXPECT_EQ(r.placas[1].eventos, 3);
    EXPECT_EQ(r.placas[1].pressoes, 1);
    EXPECT_EQ(r.placas[1].sem_par, 1);
    ASSERT_EQ(r.nbarras, 2);
    EXPECT_EQ(r.barras[0], 2);
    EXPECT_EQ(r.barras[1], 1);
}

} // namespace
