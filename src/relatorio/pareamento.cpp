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

std::size_t lugardaplaca(pareamento *p, const char *nome, std::size_t tamanho, bool criar)
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
    if (!criar)
        return NENHUMA;
    std::size_t b = p->somas.size();
    p->somas.emplace_back();
    p->somas.back().nome = p->chave;
    p->seguindo.emplace_back();
    p->lugar.emplace(p->chave, b);
    return p->ultima = b;
}

void emitir(pareamento *p, std::size_t b, int k, const evento &e, const evento *proximo)
{
    somar(&p->somas[b].de[k], classificar(e, proximo, p->de, p->ate), true, p->com_horas);
}

// The key's sums so far are not whole: dropped, and its rows no longer followed.
void desordenar(pareamento *p, std::size_t b, int k)
{
    seguimento &s = p->seguindo[b][k];
    s.desordenada = true;
    s.sem_instante = {};
    p->somas[b].de[k] = {};
}

// Pairs e with the key's last row; false when e comes out of id order.
bool seguir(pareamento *p, std::size_t b, int k, const evento &e)
{
    seguimento &s = p->seguindo[b][k];
    if (s.tem_anterior) {
        if (e.id <= s.anterior.id) {
            desordenar(p, b, k);
            return false;
        }
        emitir(p, b, k, s.anterior, &e);
    }
    s.anterior = e;
    s.tem_anterior = true;
    return true;
}

// The key's rows of unknown instant before id (all of them when todas).
bool seguirsemdata(pareamento *p, std::size_t b, int k, long long id, bool todas)
{
    seguimento &s = p->seguindo[b][k];
    if (!s.ordenadas) {
        std::sort(s.sem_instante.begin(), s.sem_instante.end(),
                  [](const evento &x, const evento &y) { return x.id < y.id; });
        s.ordenadas = true;
    }
    while (s.proxima < s.sem_instante.size() && (todas || s.sem_instante[s.proxima].id < id))
        if (!seguir(p, b, k, s.sem_instante[s.proxima++]))
            return false;
    return true;
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
    std::size_t b = lugardaplaca(p, placa, tamanho, true);
    int k = lugardatecla(e.tecla);
    // A code of no key and an ESTADO of neither pair with no row.
    if (e.sinal == 0 || k < 0) {
        somar(&p->somas[b].de[SEM_TECLA], classificar(e, nullptr, p->de, p->ate), k >= 0,
              p->com_horas);
        return;
    }
    seguimento &s = p->seguindo[b][k];
    if (s.desordenada)
        return;
    if (e.instante <= MS_FORA) {
        // The index hands these over first; one after a known instant is out of order.
        if (s.com_instante)
            desordenar(p, b, k);
        else
            s.sem_instante.push_back(e);
        return;
    }
    s.com_instante = true;
    if (seguirsemdata(p, b, k, e.id, false))
        seguir(p, b, k, e);
}

void terminar(pareamento *p)
{
    for (std::size_t b = 0; b < p->seguindo.size(); b++)
        for (int k = 0; k < 16; k++) {
            seguimento &s = p->seguindo[b][k];
            if (!s.desordenada && seguirsemdata(p, b, k, 0, true) && s.tem_anterior) {
                emitir(p, b, k, s.anterior, nullptr);
                s.tem_anterior = false;
            }
        }
}

unsigned teclasdesordenadas(const pareamento &p)
{
    unsigned teclas = 0;
    for (const auto &placa : p.seguindo)
        for (int k = 0; k < 16; k++)
            teclas |= placa[k].desordenada ? 1U << k : 0;
    return teclas;
}

void receberdenovo(pareamento *p, int k, const char *placa, std::size_t tamanho, const evento &e)
{
    if (e.sinal == 0 || lugardatecla(e.tecla) != k)
        return;
    std::size_t b = lugardaplaca(p, placa, tamanho, false);
    if (b != NENHUMA && p->seguindo[b][k].desordenada)
        p->relidas.emplace_back(b, e);
}

void reparear(pareamento *p, int k)
{
    auto &r = p->relidas;
    std::sort(r.begin(), r.end(), [](const auto &x, const auto &y) {
        return x.first != y.first ? x.first < y.first : x.second.id < y.second.id;
    });
    for (std::size_t i = 0; i < r.size(); i++) {
        bool ultima = i + 1 == r.size() || r[i + 1].first != r[i].first;
        emitir(p, r[i].first, k, r[i].second, ultima ? nullptr : &r[i + 1].second);
    }
    r.clear();
}
