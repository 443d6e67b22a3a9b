// The report's sums, see somas.h.
#include "relatorio/somas.h"

#include "relatorio/calendario.h"

#include <algorithm>

namespace {

void juntartecla(resumo_tecla *total, const resumo_tecla &r)
{
    if (r.pressoes > 0) {
        if (total->pressoes == 0 || r.maior_ms > total->maior_ms)
            total->maior_ms = r.maior_ms;
        if (total->pressoes == 0 || r.primeira_par < total->primeira_par)
            total->primeira_par = r.primeira_par;
        if (total->pressoes == 0 || r.ultima_par > total->ultima_par)
            total->ultima_par = r.ultima_par;
        total->pressoes += r.pressoes;
        total->soma_ms += r.soma_ms;
    }
    if (r.tem_ultima && (!total->tem_ultima || r.ultima > total->ultima)) {
        total->ultima = r.ultima;
        total->tem_ultima = true;
    }
    total->sem_par += r.sem_par;
}

void juntarignoradas(linhas_ignoradas *total, const linhas_ignoradas &i)
{
    total->data_ilegivel += i.data_ilegivel;
    total->ms_invalido += i.ms_invalido;
    total->estado_desconhecido += i.estado_desconhecido;
    total->tecla_desconhecida += i.tecla_desconhecida;
    total->par_ignorado += i.par_ignorado;
    total->soltura_antes += i.soltura_antes;
}

// Paired presses per hour, from the period's first hour (or the first
// press's) to its last (or the latest press's). A period too long for
// RELATORIO_BARRAS_MAX bars puts several hours in each.
void contarporhora(const std::vector<somas_da_placa> &placas, const opcoes_relatorio &opcoes,
                   resumo_relatorio *resumo)
{
    long long de = opcoes.desde != nullptr ? opcoes.periodo_de : resumo->total.primeira_par;
    long long ate = opcoes.ate != nullptr ? opcoes.periodo_ate : resumo->total.ultima_par;
    resumo->inicio_barras = de - de % MS_POR_HORA;
    long long horas = (ate - resumo->inicio_barras) / MS_POR_HORA + 1;
    resumo->horas_por_barra = (horas + RELATORIO_BARRAS_MAX - 1) / RELATORIO_BARRAS_MAX;
    resumo->nbarras = static_cast<int>((horas + resumo->horas_por_barra - 1) / resumo->horas_por_barra);
    long long passo = resumo->horas_por_barra * MS_POR_HORA;
    for (const somas_da_placa &p : placas)
        for (int k = 0; k < SEM_TECLA; k++)
            for (const auto &hora : p.de[k].horas) {
                long long barra = (hora.first * MS_POR_HORA - resumo->inicio_barras) / passo;
                if (barra >= 0 && barra < resumo->nbarras)
                    resumo->barras[barra] += hora.second;
            }
}

} // namespace

void somar(acumulado *a, const linha_classificada &linha, bool do_teclado, bool com_horas)
{
    classe c = linha.c;
    if (c == FORA && !linha.fecha)
        return;
    if (c != FORA)
        a->eventos++;
    // Every readable row of the period, press or release.
    if (c >= SOLTURA_ILEGIVEL && (!a->tem_ultimo || linha.instante > a->ultimo)) {
        a->ultimo = linha.instante;
        a->tem_ultimo = true;
    }
    linhas_ignoradas &ignoradas = a->ignoradas;
    // Codes teclado never writes are no key of the keypad.
    if (!do_teclado) {
        if (c != FORA)
            ignoradas.tecla_desconhecida++;
        return;
    }
    resumo_tecla &r = a->tecla;
    if (linha.fecha) {
        r.sem_par--;
        if (c == DATA_ILEGIVEL || c == MS_INVALIDO)
            ignoradas.par_ignorado++;
    }
    switch (c) {
    case FORA: break;
    case ESTADO_DESCONHECIDO: ignoradas.estado_desconhecido++; break;
    case DATA_ILEGIVEL: ignoradas.data_ilegivel++; break;
    case MS_INVALIDO: ignoradas.ms_invalido++; break;
    case SOLTURA_ILEGIVEL: ignoradas.par_ignorado++; break;
    case SOLTURA_ANTES: ignoradas.soltura_antes += 2; break;
    case PAR:
        if (r.pressoes == 0 || linha.segura > r.maior_ms)
            r.maior_ms = linha.segura;
        if (r.pressoes == 0 || linha.instante < r.primeira_par)
            r.primeira_par = linha.instante;
        if (r.pressoes == 0 || linha.instante > r.ultima_par)
            r.ultima_par = linha.instante;
        r.pressoes++;
        r.soma_ms += linha.segura;
        if (com_horas) {
            long long hora = linha.instante / MS_POR_HORA;
            if (a->horas.empty() || a->horas.back().first != hora)
                a->horas.emplace_back(hora, 0);
            a->horas.back().second++;
        }
        [[fallthrough]];
    case PRESSAO_SO:
        if (!r.tem_ultima || linha.instante > r.ultima)
            r.ultima = linha.instante;
        r.tem_ultima = true;
        if (c == PRESSAO_SO)
            r.sem_par++;
        break;
    case SOLTURA: r.sem_par++; break;
    }
}

void juntar(const std::vector<somas_da_placa> &placas, const opcoes_relatorio &opcoes,
            bool com_barras, resumo_relatorio *resumo)
{
    for (const somas_da_placa &p : placas) {
        resumo_placa linha = {p.nome, 0, 0, 0, 0, false};
        for (int k = 0; k <= SEM_TECLA; k++) {
            const acumulado &a = p.de[k];
            linha.eventos += a.eventos;
            if (a.tem_ultimo && (!linha.tem_ultimo || a.ultimo > linha.ultimo)) {
                linha.ultimo = a.ultimo;
                linha.tem_ultimo = true;
            }
            juntarignoradas(&resumo->ignoradas, a.ignoradas);
            if (k == SEM_TECLA)
                continue;
            linha.pressoes += a.tecla.pressoes;
            linha.sem_par += a.tecla.sem_par;
            juntartecla(&resumo->tecla[k / 4][k % 4], a.tecla);
        }
        // A board whose rows all lie in the margin has no line.
        if (linha.eventos > 0)
            resumo->placas.push_back(std::move(linha));
    }
    std::sort(resumo->placas.begin(), resumo->placas.end(),
              [](const resumo_placa &a, const resumo_placa &b) { return a.nome < b.nome; });
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            juntartecla(&resumo->total, resumo->tecla[l][c]);
    resumo->nbarras = 0;
    if (com_barras && resumo->total.pressoes > 0)
        contarporhora(placas, opcoes, resumo);
}
