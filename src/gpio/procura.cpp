#include "gpio/procura.h"

#include "mapa_do_teclado.h"

#include <cerrno>
#include <cstring>

static_assert(fios_nos_pinos_0_a(PINOS), "the lines are looked up for pins 0 to 7");
#define LINHA_DO_PINO(pino, bcm, nome, outro_nome) {bcm, {nome, outro_nome}},
const linha_do_pino linhas_dos_pinos[PINOS] = {FIOS_DO_TECLADO(LINHA_DO_PINO, LINHA_DO_PINO)};

const char *const chips_da_soc[ROTULOS_DA_SOC] = {"pinctrl-bcm2835", "pinctrl-bcm2711",
                                                  "pinctrl-rp1"};

namespace {

constexpr unsigned int MAIOR_BCM = 27;

bool rotulo_da_soc(const char *rotulo)
{
    for (const char *r : chips_da_soc)
        if (strcmp(rotulo, r) == 0)
            return true;
    return false;
}

bool sem_permissao(int erro) { return erro == EACCES || erro == EPERM; }

void anotar_recusa(linhas_do_teclado *r, int chip, int erro)
{
    // A permission problem explains a missing line better than anything
    // else, so it is the one kept.
    if (r->chip < 0 || (sem_permissao(erro) && !sem_permissao(r->erro))) {
        r->chip = chip;
        r->erro = erro;
    }
}

// Each pin on the chip's line with its most usual name, the first such
// line; returns how many pins were found, and in *faltou the first
// missing one.
int achar_por_nome(const chip_gpio &c, unsigned int *offset, int *faltou)
{
    int ordem[PINOS]; // which of the pin's names was found; NOMES_MAX: none
    for (int &o : ordem)
        o = NOMES_MAX;
    for (unsigned int l = 0; l < c.nomes_lidos; l++)
        for (int pin = 0; pin < PINOS; pin++)
            for (int n = 0; n < ordem[pin] && linhas_dos_pinos[pin].nomes[n] != nullptr; n++)
                if (strcmp(c.nomes[l], linhas_dos_pinos[pin].nomes[n]) == 0) {
                    ordem[pin] = n;
                    offset[pin] = l;
                }
    int achados = 0;
    *faltou = -1;
    for (int pin = 0; pin < PINOS; pin++) {
        if (ordem[pin] < NOMES_MAX)
            achados++;
        else if (*faltou < 0)
            *faltou = pin;
    }
    return achados;
}

} // namespace

linhas_do_teclado procurar_linhas(const chip_gpio *chips, int num_chips)
{
    linhas_do_teclado r;
    memset(&r, 0, sizeof r);
    r.chip = -1;
    for (int i = 0; i < num_chips; i++) {
        bool repetido = chips[i].erro != 0;
        for (int v = 0; v < r.num_vistos; v++)
            repetido |= strcmp(chips[r.vistos[v]].nome, chips[i].nome) == 0;
        if (!repetido)
            r.vistos[r.num_vistos++] = i;
    }

    r.resultado = resultado_da_procura::achadas;
    for (int v = 0; v < r.num_vistos; v++) {
        const chip_gpio &c = chips[r.vistos[v]];
        if (rotulo_da_soc(c.rotulo) && c.linhas > MAIOR_BCM) {
            r.chip = c.numero;
            for (int pin = 0; pin < PINOS; pin++)
                r.offset[pin] = linhas_dos_pinos[pin].bcm;
            return r;
        }
    }
    int mais_achados = 0;
    for (int v = 0; v < r.num_vistos; v++) {
        const chip_gpio &c = chips[r.vistos[v]];
        int faltou;
        int achados = achar_por_nome(c, r.offset, &faltou);
        if (faltou < 0) {
            r.chip = c.numero;
            return r;
        }
        if (achados > mais_achados) {
            mais_achados = achados;
            r.pino = faltou;
        }
    }

    memset(r.offset, 0, sizeof r.offset);
    for (int i = 0; i < num_chips; i++)
        if (chips[i].erro != 0)
            anotar_recusa(&r, chips[i].numero, chips[i].erro);
    for (int v = 0; v < r.num_vistos; v++)
        if (chips[r.vistos[v]].erro_nos_nomes != 0)
            anotar_recusa(&r, chips[r.vistos[v]].numero, chips[r.vistos[v]].erro_nos_nomes);
    if (r.chip >= 0)
        r.resultado = sem_permissao(r.erro) ? resultado_da_procura::sem_permissao
                                            : resultado_da_procura::chip_ilegivel;
    else if (num_chips == 0)
        r.resultado = resultado_da_procura::nenhum_chip;
    else
        r.resultado = resultado_da_procura::nenhum_chip_da_placa;
    return r;
}
