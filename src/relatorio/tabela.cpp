// The report as text, see tabela.h.
#include "relatorio/tabela.h"

#include "relatorio/calendario.h"

#include <cmath>
#include <cstring>

namespace {

// The columns of one line as texts; media and maior empty with no pair,
// ultima empty with no press.
void colunas(const resumo_tecla &r, char *media, char *maior, char *ultima)
{
    media[0] = maior[0] = ultima[0] = '\0';
    if (r.pressoes > 0) {
        snprintf(media, 24, "%lld",
                 static_cast<long long>(llround(static_cast<double>(r.soma_ms) / r.pressoes)));
        snprintf(maior, 24, "%lld", r.maior_ms);
    }
    if (r.tem_ultima)
        escreverinstante(r.ultima, ultima, 24);
}

int digitos(long long n)
{
    char texto[24];
    return snprintf(texto, sizeof texto, "%lld", n);
}

int maior(int a, int b)
{
    return a > b ? a : b;
}

struct larguras {
    int pressoes, media, maxima, sem_par;
};

void imprimirlinha(FILE *saida, const char *tecla, const resumo_tecla &r, const larguras &l)
{
    char media[24], maxima[24], ultima[24];
    colunas(r, media, maxima, ultima);
    fprintf(saida, "%5s %*lld %*s %*s  %-23s %*lld\n", tecla, l.pressoes, r.pressoes, l.media,
            media[0] ? media : "-", l.maxima, maxima[0] ? maxima : "-", ultima[0] ? ultima : "-",
            l.sem_par, r.sem_par);
}

// One line per board after the table, when the rows come from more than
// one and no board was chosen: a single board's log stays as it always was.
void imprimirplacas(FILE *saida, const opcoes_relatorio &opcoes, const resumo_relatorio &resumo)
{
    if (opcoes.placa != nullptr || resumo.placas.size() < 2)
        return;
    // Names as they may be printed: a tab or a newline would forge a column or a line.
    char nome[4 * PLACA_NOME_MAX + 4], ultimo[24];
    int largura = 5;
    for (const resumo_placa &p : resumo.placas)
        largura = maior(largura, static_cast<int>(strlen(legivel(p.nome.c_str(), nome, sizeof nome))));
    if (opcoes.tsv)
        fputs("PLACA\tEVENTOS\tPRESSOES\tULTIMO\tSEM_PAR\n", saida);
    else
        fprintf(saida, "%-*s %9s %9s  %-23s %8s\n", largura, "PLACA", "EVENTOS", "PRESSOES",
                "ULTIMO", "SEM_PAR");
    for (const resumo_placa &p : resumo.placas) {
        legivel(p.nome.c_str(), nome, sizeof nome);
        ultimo[0] = '\0';
        if (p.tem_ultimo)
            escreverinstante(p.ultimo, ultimo, sizeof ultimo);
        if (opcoes.tsv)
            fprintf(saida, "%s\t%lld\t%lld\t%s\t%lld\n", nome, p.eventos, p.pressoes, ultimo,
                    p.sem_par);
        else
            fprintf(saida, "%-*s %9lld %9lld  %-23s %8lld\n", largura, nome, p.eventos, p.pressoes,
                    ultimo[0] ? ultimo : "-", p.sem_par);
    }
}

} // namespace

bool escreverignoradas(const linhas_ignoradas &ignoradas, char *texto, size_t tamanho)
{
    const struct {
        long long n;
        const char *motivo;
    } motivos[] = {
        {ignoradas.data_ilegivel, "data ilegivel"},
        {ignoradas.ms_invalido, "ms fora de 0-999"},
        {ignoradas.estado_desconhecido, "estado desconhecido"},
        {ignoradas.tecla_desconhecida, "tecla desconhecida"},
        {ignoradas.par_ignorado, "par de linha ignorada"},
        {ignoradas.soltura_antes, "soltura antes da pressao"},
    };
    long long soma = 0;
    for (const auto &m : motivos)
        soma += m.n;
    texto[0] = '\0';
    if (soma == 0)
        return false;
    size_t n = snprintf(texto, tamanho, "%lld %s:", soma,
                        soma == 1 ? "linha ignorada" : "linhas ignoradas");
    const char *separador = " ";
    for (const auto &m : motivos)
        if (m.n > 0 && n < tamanho) {
            n += snprintf(texto + n, tamanho - n, "%s%lld %s", separador, m.n, m.motivo);
            separador = ", ";
        }
    return true;
}

void imprimirtabela(FILE *saida, const opcoes_relatorio &opcoes, const resumo_relatorio &resumo)
{
    char media[24], maxima[24], ultima[24], periodo[64], ignoradas[256];
    bool ha_ignoradas = escreverignoradas(resumo.ignoradas, ignoradas, sizeof ignoradas);
    if (opcoes.tsv) {
        fputs("TECLA\tPRESSOES\tMEDIA_MS\tMAX_MS\tULTIMA\tSEM_PAR\n", saida);
        for (int l = 0; l < 4; l++)
            for (int c = 0; c < 4; c++) {
                const resumo_tecla &r = resumo.tecla[l][c];
                colunas(r, media, maxima, ultima);
                fprintf(saida, "%d\t%lld\t%s\t%s\t%s\t%lld\n", Teclas[l][c], r.pressoes, media,
                        maxima, ultima, r.sem_par);
            }
        imprimirplacas(saida, opcoes, resumo);
        if (ha_ignoradas)
            fprintf(saida, "%s\n", ignoradas);
        return;
    }
    escreverperiodo(opcoes, periodo, sizeof periodo);
    if (opcoes.desde != nullptr || opcoes.ate != nullptr)
        fprintf(saida, "Periodo: %s (dias inteiros, incluidos; hora da placa)\n", periodo);
    else
        fprintf(saida, "Periodo: %s\n", periodo);
    if (opcoes.placa != nullptr) {
        char nome[4 * PLACA_NOME_MAX + 4];
        fprintf(saida, "Placa: %s\n", legivel(opcoes.placa, nome, sizeof nome));
    }
    // The totals hold the widest figures: a column widens for them rather
    // than run into the next.
    const resumo_tecla &total = resumo.total;
    const larguras l = {maior(9, digitos(total.pressoes)), maior(9, digitos(total.maior_ms)),
                        maior(7, digitos(total.maior_ms)), maior(8, digitos(total.sem_par))};
    fprintf(saida, "%5s %*s %*s %*s  %-23s %*s\n", "TECLA", l.pressoes, "PRESSOES", l.media,
            "MEDIA_MS", l.maxima, "MAX_MS", "ULTIMA", l.sem_par, "SEM_PAR");
    char tecla[8];
    for (int linha = 0; linha < 4; linha++)
        for (int coluna = 0; coluna < 4; coluna++) {
            snprintf(tecla, sizeof tecla, "%d", Teclas[linha][coluna]);
            imprimirlinha(saida, tecla, resumo.tecla[linha][coluna], l);
        }
    imprimirlinha(saida, "TOTAL", total, l);
    fputs("PRESSOES: pressoes com soltura; SEM_PAR: pressoes sem soltura e solturas sem pressao.\n",
          saida);
    imprimirplacas(saida, opcoes, resumo);
    if (ha_ignoradas)
        fprintf(saida, "%s\n", ignoradas);
}
