#include "gpio/procura.h"

#include "mapa_do_teclado.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// The first of chips[indices[0..n-1]] that has the eight lines: the SoC's
// chip by its label, at the BCM numbers, else a chip with all eight names.
// Returns its index in chips, or -1 with r->pino set to the first pin
// missing on the chip that had the most of them by name.
int achar_na_placa(const chip_gpio *chips, const int *indices, int n, linhas_do_teclado *r)
{
    for (int v = 0; v < n; v++) {
        const chip_gpio &c = chips[indices[v]];
        if (rotulo_da_soc(c.rotulo) && c.linhas > MAIOR_BCM) {
            for (int pin = 0; pin < PINOS; pin++)
                r->offset[pin] = linhas_dos_pinos[pin].bcm;
            return indices[v];
        }
    }
    int mais_achados = 0;
    for (int v = 0; v < n; v++) {
        int faltou;
        int achados = achar_por_nome(chips[indices[v]], r->offset, &faltou);
        if (faltou < 0)
            return indices[v];
        if (achados > mais_achados) {
            mais_achados = achados;
            r->pino = faltou;
        }
    }
    return -1;
}

// A line's offset as gpio-lines may give it: digits alone.
bool numero_da_linha(const char *texto, unsigned int *offset)
{
    size_t n = strlen(texto);
    if (n == 0 || n > 9 || strspn(texto, "0123456789") != n)
        return false;
    *offset = static_cast<unsigned int>(strtoul(texto, nullptr, 10));
    return true;
}

// gpio-lines into r->nomes: false unless eight items, none empty or longer
// than a kernel name.
bool separar_linhas(const char *texto, linhas_do_teclado *r)
{
    int n = 0;
    for (const char *item = texto;; n++) {
        const char *fim = item + strcspn(item, ",");
        const char *proximo = fim;
        while (item < fim && isspace(static_cast<unsigned char>(*item)))
            item++;
        while (fim > item && isspace(static_cast<unsigned char>(fim[-1])))
            fim--;
        if (n == PINOS || fim == item || fim - item > NOME_MAX)
            return false;
        snprintf(r->nomes[n], NOME_MAX + 1, "%.*s", static_cast<int>(fim - item), item);
        if (*proximo == '\0')
            return n + 1 == PINOS;
        item = proximo + 1;
    }
}

// Each pin's line on c by its item of gpio-lines, a name (its first line
// of that name) or an offset; returns how many were found, and in *faltou
// the first pin whose line is not there (else -1).
int achar_itens(const chip_gpio &c, linhas_do_teclado *r, int *faltou)
{
    int achados = 0;
    *faltou = -1;
    for (int pin = 0; pin < PINOS; pin++) {
        unsigned int offset = c.linhas;
        if (!numero_da_linha(r->nomes[pin], &offset))
            for (unsigned int l = c.nomes_lidos; l-- > 0;)
                if (strcmp(c.nomes[l], r->nomes[pin]) == 0)
                    offset = l;
        if (offset < c.linhas) {
            r->offset[pin] = offset;
            achados++;
        } else if (*faltou < 0) {
            *faltou = pin;
        }
    }
    return achados;
}

bool usada(const chip_gpio &c, unsigned int offset)
{
    return c.usadas != nullptr && offset < c.nomes_lidos && c.usadas[offset];
}

// The chip gpio-chip names, by path, name or label: its index in chips, or
// -1 with r->resultado set (a chip not read counts as not there).
int achar_chip(const chip_gpio *chips, int num_chips, const char *nome, linhas_do_teclado *r)
{
    int numero;
    char resto;
    if (sscanf(nome, "/dev/gpiochip%d%c", &numero, &resto) == 1 ||
        sscanf(nome, "gpiochip%d%c", &numero, &resto) == 1) {
        for (int i = 0; i < num_chips; i++)
            if (chips[i].numero == numero && chips[i].erro == 0)
                return i;
        return -1;
    }
    int achado = -1;
    for (int v = 0; v < r->num_vistos; v++) {
        const chip_gpio &c = chips[r->vistos[v]];
        if (strcmp(c.rotulo, nome) != 0)
            continue;
        if (achado >= 0) {
            r->resultado = resultado_da_procura::chip_ambiguo;
            r->chip = chips[achado].numero;
            r->outro = c.numero;
            return -1;
        }
        achado = r->vistos[v];
    }
    return achado;
}

// Where the option file chose: the chip, then each line, each line once
// and free. Returns the chip's index in chips, or -1 with r->resultado set
// (left at achadas when the chip was not found).
int escolher(const chip_gpio *chips, int num_chips, escolha_de_linhas escolha,
             linhas_do_teclado *r)
{
    bool com_linhas = escolha.linhas[0] != '\0';
    if (com_linhas && !separar_linhas(escolha.linhas, r)) {
        r->resultado = resultado_da_procura::linhas_invalidas;
        return -1;
    }
    int i = -1;
    int faltou = 0;
    if (escolha.chip[0] != '\0') {
        i = achar_chip(chips, num_chips, escolha.chip, r);
        if (i < 0)
            return -1;
        r->chip = chips[i].numero;
        r->livres = static_cast<int>(chips[i].linhas);
        for (unsigned int l = 0; l < chips[i].linhas; l++)
            r->livres -= usada(chips[i], l);
        if (r->livres < PINOS) {
            r->resultado = resultado_da_procura::poucas_livres;
            return -1;
        }
        if (!com_linhas && achar_na_placa(chips, &i, 1, r) < 0) {
            r->resultado = resultado_da_procura::nenhum_chip_da_placa;
            r->vistos[0] = i;
            r->num_vistos = 1;
            return -1;
        }
        if (com_linhas && achar_itens(chips[i], r, &faltou) < PINOS) {
            r->resultado = resultado_da_procura::linha_ausente;
            r->pino = faltou;
            return -1;
        }
    } else {
        unsigned int offset;
        for (int pin = 0; pin < PINOS; pin++)
            if (numero_da_linha(r->nomes[pin], &offset)) {
                r->resultado = resultado_da_procura::numero_sem_chip;
                r->pino = pin;
                return -1;
            }
        int mais_achados = -1;
        for (int v = 0; v < r->num_vistos && i < 0; v++) {
            int achados = achar_itens(chips[r->vistos[v]], r, &faltou);
            if (achados == PINOS)
                i = r->vistos[v];
            else if (achados > mais_achados) {
                mais_achados = achados;
                r->pino = faltou;
            }
        }
        if (i < 0) {
            r->resultado = resultado_da_procura::linha_ausente;
            r->chip = -1;
            return -1;
        }
        r->chip = chips[i].numero;
    }
    return i;
}

// Every pin on a line of its own, free: else r->resultado says which not.
void conferir_livres(const chip_gpio &c, linhas_do_teclado *r)
{
    for (int pin = 0; pin < PINOS; pin++) {
        for (int antes = 0; antes < pin; antes++)
            if (r->offset[antes] == r->offset[pin]) {
                r->resultado = resultado_da_procura::linha_repetida;
                r->pino = pin;
                r->outro = antes;
                return;
            }
        if (usada(c, r->offset[pin])) {
            r->resultado = resultado_da_procura::linha_em_uso;
            r->pino = pin;
            return;
        }
    }
}

} // namespace

linhas_do_teclado procurar_linhas(const chip_gpio *chips, int num_chips,
                                  escolha_de_linhas escolha)
{
    linhas_do_teclado r;
    memset(&r, 0, sizeof r);
    r.chip = -1;
    r.outro = -1;
    for (int i = 0; i < num_chips; i++) {
        bool repetido = chips[i].erro != 0;
        for (int v = 0; v < r.num_vistos; v++)
            repetido |= strcmp(chips[r.vistos[v]].nome, chips[i].nome) == 0;
        if (!repetido)
            r.vistos[r.num_vistos++] = i;
    }

    r.resultado = resultado_da_procura::achadas;
    bool escolhida = escolha.chip[0] != '\0' || escolha.linhas[0] != '\0';
    int achado = escolhida ? escolher(chips, num_chips, escolha, &r)
                           : achar_na_placa(chips, r.vistos, r.num_vistos, &r);
    if (achado >= 0) {
        r.chip = chips[achado].numero;
        conferir_livres(chips[achado], &r);
        return r;
    }
    if (r.resultado != resultado_da_procura::achadas)
        return r;

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
    else if (escolha.chip[0] != '\0')
        r.resultado = resultado_da_procura::chip_ausente;
    else
        r.resultado = resultado_da_procura::nenhum_chip_da_placa;
    return r;
}
