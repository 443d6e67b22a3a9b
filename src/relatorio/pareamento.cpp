// The report's pairing, see pareamento.h.
#include "relatorio/pareamento.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int maiorcodigo()
{
    int maior = 0;
    for (int k = 0; k < 16; k++)
        maior = Teclas[k / 4][k % 4] > maior ? Teclas[k / 4][k % 4] : maior;
    return maior;
}

struct lugares {
    signed char de[maiorcodigo() + 1];
};

constexpr lugares fazerlugares()
{
    lugares l = {};
    for (int i = 0; i <= maiorcodigo(); i++)
        l.de[i] = -1;
    for (int k = 0; k < 16; k++)
        l.de[Teclas[k / 4][k % 4]] = static_cast<signed char>(k);
    return l;
}

constexpr lugares Lugares = fazerlugares();
constexpr std::size_t NENHUMA = static_cast<std::size_t>(-1);

std::size_t lugardaplaca(pareamento *p, const char *nome, std::size_t tamanho)
{
    // A board's own log, and runs of one board's rows, skip the lookup.
    if (p->ultima < p->somas.size()) {
        const std::string &ultima = p->somas[p->ultima].nome;
        if (ultima.size() == tamanho && memcmp(ultima.data(), nome, tamanho) == 0)
            return p->ultima;
    }
    p->chave.assign(nome, tamanho);
    auto achada = p->lugar.find(p->chave);
    if (achada != p->lugar.end())
        return p->ultima = achada->second;
    std::size_t b = p->somas.size();
    p->somas.emplace_back();
    p->somas.back().nome = p->chave;
    p->linhas.emplace_back();
    p->lugar.emplace(p->chave, b);
    return p->ultima = b;
}

} // namespace

int lugardatecla(long long tecla)
{
    return tecla >= 0 && tecla <= maiorcodigo() ? Lugares.de[tecla] : -1;
}

linha_classificada classificar(const evento &row, const evento *proximo, long long de, long long ate)
{
    linha_classificada l = {FORA, false, row.instante, 0};
    bool conhecido = row.instante > MS_FORA;
    bool no_periodo = conhecido && row.instante >= de && row.instante <= ate;
    bool solta = proximo != nullptr && proximo->sinal < 0;
    bool solta_legivel = solta && proximo->instante > MS_FORA;
    if (row.sinal == 0)
        l.c = !conhecido || no_periodo ? ESTADO_DESCONHECIDO : FORA;
    else if (!conhecido)
        l.c = row.instante == SEM_DATA ? DATA_ILEGIVEL : MS_INVALIDO;
    else if (!no_periodo)
        l.c = FORA;
    else if (row.sinal < 0)
        l.c = SOLTURA;
    else if (solta_legivel)
        l.c = proximo->instante < row.instante ? SOLTURA_ANTES : PAR;
    else if (solta)
        l.c = SOLTURA_ILEGIVEL;
    else
        l.c = PRESSAO_SO;
    l.fecha = row.sinal > 0 && solta_legivel && proximo->instante >= de && proximo->instante <= ate;
    if (l.c == PAR)
        l.segura = proximo->instante - row.instante;
    return l;
}

void comecar(pareamento *p, long long de, long long ate, bool com_horas)
{
    *p = {};
    p->de = de;
    p->ate = ate;
    p->com_horas = com_horas;
    p->ultima = NENHUMA;
}

void receber(pareamento *p, const char *placa, std::size_t tamanho, const evento &e)
{
    std::size_t b = lugardaplaca(p, placa, tamanho);
    int k = lugardatecla(e.tecla);
    // A code of no key and an ESTADO of neither pair with no row.
    if (e.sinal == 0 || k < 0)
        somar(&p->somas[b].de[SEM_TECLA], classificar(e, nullptr, p->de, p->ate), k >= 0,
              p->com_horas);
    else
        p->linhas[b][k].push_back({e.id, e.sinal * e.instante});
}

void terminar(pareamento *p)
{
    auto evento_de = [](const linha_da_tecla &l) {
        return evento{0, l.id, l.x < 0 ? -1 : 1, l.x < 0 ? -l.x : l.x};
    };
    auto por_id = [](const linha_da_tecla &x, const linha_da_tecla &y) { return x.id < y.id; };
    for (std::size_t b = 0; b < p->linhas.size(); b++)
        for (int k = 0; k < 16; k++) {
            std::deque<linha_da_tecla> &linhas = p->linhas[b][k];
            if (!std::is_sorted(linhas.begin(), linhas.end(), por_id))
                std::sort(linhas.begin(), linhas.end(), por_id);
            for (std::size_t i = 0; i < linhas.size(); i++) {
                evento e = evento_de(linhas[i]);
                evento proximo = i + 1 < linhas.size() ? evento_de(linhas[i + 1]) : evento{};
                somar(&p->somas[b].de[k],
                      classificar(e, i + 1 < linhas.size() ? &proximo : nullptr, p->de, p->ate),
                      true, p->com_horas);
            }
            linhas = {};
        }
}
