// The chip lookup on every board of tests/gpio/boards (Debian's kernel
// trees, the two Pi 5 layouts), read here as the GPIO stand-in reads them:
// the keypad's lines must be found on the SoC's chip at their BCM numbers,
// by the chip's label and, with that label unknown, by the lines' names.
// Then the ways it finds none, and which of them it reports.
#include "gpio/procura.h"
#include "mapa_do_teclado.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

// Each wiringPi pin's line by BCM number: the keypad's wiring.
const unsigned int ESPERADO[PINOS] = {FIOS_DO_TECLADO(FIO_BCM, FIO_BCM)};

constexpr int LINHAS_MAX = 64;

// A board's chips as the backend gathers them, links included.
struct placa {
    chip_gpio chips[CHIPS_MAX];
    int num_chips;
    char nomes[CHIPS_MAX][LINHAS_MAX][NOME_MAX + 1];
    bool usadas[CHIPS_MAX][LINHAS_MAX];
    int soc;       // the number of the first chip labelled pinctrl-*
    int nomes_soc; // and the index of its names in nomes
};

std::vector<std::string> placas()
{
    std::vector<std::string> nomes;
    DIR *d = opendir(BOARDS_DIR);
    if (d == nullptr)
        return nomes;
    while (dirent *e = readdir(d)) {
        std::string nome = e->d_name;
        if (nome.size() > 6 && nome.compare(nome.size() - 6, 6, ".chips") == 0)
            nomes.push_back(nome);
    }
    closedir(d);
    std::sort(nomes.begin(), nomes.end());
    return nomes;
}

// Lines "chip N LABEL LINES", "OFFSET NAME", "alias N M" and comments;
// with outro_rotulo the SoC's chip gets a label no driver gives it.
void ler_placa(const std::string &arquivo, bool outro_rotulo, placa *p)
{
    memset(p, 0, sizeof *p);
    p->nomes_soc = -1;
    std::string caminho = std::string(BOARDS_DIR) + "/" + arquivo;
    FILE *f = fopen(caminho.c_str(), "r");
    ASSERT_NE(f, nullptr) << caminho;
    char texto[256], palavra[NOME_MAX + 1];
    int numero, alvo;
    unsigned int linhas, offset;
    int apelidos[CHIPS_MAX][2], num_apelidos = 0;
    chip_gpio *c = nullptr;
    while (fgets(texto, sizeof texto, f) != nullptr) {
        if (texto[0] == '#' || texto[0] == '\n')
            continue;
        if (sscanf(texto, "chip %d %32s %u", &numero, palavra, &linhas) == 3) {
            ASSERT_TRUE(linhas <= LINHAS_MAX && p->num_chips < CHIPS_MAX - 1) << texto;
            int i = p->num_chips++;
            c = &p->chips[i];
            c->numero = numero;
            snprintf(c->nome, sizeof c->nome, "gpiochip%d", numero);
            snprintf(c->rotulo, sizeof c->rotulo, "%s", palavra);
            c->linhas = c->nomes_lidos = linhas;
            c->nomes = p->nomes[i];
            c->usadas = p->usadas[i];
            if (p->nomes_soc < 0 && strncmp(palavra, "pinctrl-", 8) == 0) {
                p->nomes_soc = i;
                p->soc = numero;
            }
        } else if (sscanf(texto, "alias %d %d", &numero, &alvo) == 2 && num_apelidos < CHIPS_MAX) {
            apelidos[num_apelidos][0] = numero;
            apelidos[num_apelidos++][1] = alvo;
        } else {
            ASSERT_EQ(sscanf(texto, "%u %32s", &offset, palavra), 2) << texto;
            ASSERT_TRUE(c != nullptr && offset < c->linhas) << texto;
            snprintf(p->nomes[c - p->chips][offset], NOME_MAX + 1, "%s", palavra);
        }
    }
    fclose(f);
    ASSERT_GE(p->nomes_soc, 0) << arquivo;
    if (outro_rotulo)
        snprintf(p->chips[p->nomes_soc].rotulo, NOME_MAX + 1, "unknown-soc-gpio");
    // A link opens its target: the same chip under another number.
    for (int a = 0; a < num_apelidos; a++)
        for (int i = 0; i < p->num_chips; i++)
            if (p->chips[i].numero == apelidos[a][1]) {
                p->chips[p->num_chips] = p->chips[i];
                p->chips[p->num_chips++].numero = apelidos[a][0];
                break;
            }
    std::stable_sort(p->chips, p->chips + p->num_chips,
                     [](const chip_gpio &a, const chip_gpio &b) { return a.numero < b.numero; });
}

placa p;

class TodaPlaca : public testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(TodaPlaca, LinesOnTheSocsChipAtTheirBcmNumbers)
{
    auto [arquivo, outro_rotulo] = GetParam();
    ASSERT_NO_FATAL_FAILURE(ler_placa(arquivo, outro_rotulo, &p));
    linhas_do_teclado r = procurar_linhas(p.chips, p.num_chips);
    ASSERT_EQ(r.resultado, resultado_da_procura::achadas);
    EXPECT_EQ(r.chip, p.soc);
    for (int pin = 0; pin < PINOS; pin++)
        EXPECT_EQ(r.offset[pin], ESPERADO[pin]) << "pin " << pin;
}

INSTANTIATE_TEST_SUITE_P(Placas, TodaPlaca,
                         testing::Combine(testing::ValuesIn(placas()), testing::Bool()),
                         [](const testing::TestParamInfo<TodaPlaca::ParamType> &i) {
                             std::string nome = std::get<0>(i.param);
                             nome = nome.substr(0, nome.size() - 6);
                             for (char &ch : nome)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return nome + (std::get<1>(i.param) ? "_by_names" : "_by_label");
                         });

TEST(Placas, EveryBoardFileIsRead)
{
    EXPECT_GE(placas().size(), 27u) << BOARDS_DIR;
}

std::vector<int> numeros_vistos(const linhas_do_teclado &r, const placa &q)
{
    std::vector<int> numeros;
    for (int v = 0; v < r.num_vistos; v++)
        numeros.push_back(q.chips[r.vistos[v]].numero);
    return numeros;
}

// With the SoC's label unknown and its line 27 unnamed: a line of another
// chip by that name is not taken, and a linked chip is seen once.
TEST(NenhumaLinha, NoLineOfAnotherChipByName)
{
    struct caso {
        const char *arquivo;
        std::vector<int> vistos;
    } casos[] = {
        {"armmp_bcm2837-rpi-3-b.chips", {0, 1}}, // 1: the firmware's expander
        {"pi5_kernel-6.6.47-and-later.chips", {0, 10, 11, 12, 13}},
    };
    for (const caso &k : casos) {
        ASSERT_NO_FATAL_FAILURE(ler_placa(k.arquivo, true, &p));
        p.nomes[p.nomes_soc][27][0] = '\0';
        linhas_do_teclado r = procurar_linhas(p.chips, p.num_chips);
        EXPECT_EQ(r.resultado, resultado_da_procura::nenhum_chip_da_placa) << k.arquivo;
        EXPECT_EQ(r.pino, 2) << k.arquivo;
        EXPECT_EQ(numeros_vistos(r, p), k.vistos) << k.arquivo;
    }
}

// No line 27 by name again, on a Pi 3 B with a third chip. Of the chips
// that could not be read, the one a permission error kept out is
// reported, wherever it is; else the first, a chip not opened before one
// whose lines' names could not be read.
TEST(NenhumaLinha, TheRefusalThatExplainsIt)
{
    struct caso {
        int erro[3];       // open or information of chips 0, 1, 2
        int erro_nomes[3]; // names of their lines
        resultado_da_procura resultado;
        int chip, erro_dito;
    } casos[] = {
        {{EIO, EACCES, 0}, {0, 0, 0}, resultado_da_procura::sem_permissao, 1, EACCES},
        {{0, 0, EIO}, {EIO, 0, 0}, resultado_da_procura::chip_ilegivel, 2, EIO},
        {{0, 0, EIO}, {0, EPERM, 0}, resultado_da_procura::sem_permissao, 1, EPERM},
    };
    for (const caso &k : casos) {
        ASSERT_NO_FATAL_FAILURE(ler_placa("armmp_bcm2837-rpi-3-b.chips", true, &p));
        p.nomes[p.nomes_soc][27][0] = '\0';
        p.chips[2] = p.chips[1];
        p.chips[2].numero = 2;
        snprintf(p.chips[2].nome, NOME_MAX + 1, "gpiochip2");
        p.num_chips = 3;
        for (int i = 0; i < 3; i++) {
            p.chips[i].erro = k.erro[i];
            p.chips[i].erro_nos_nomes = k.erro_nomes[i];
            if (k.erro_nomes[i] != 0)
                p.chips[i].nomes_lidos = std::min(p.chips[i].linhas, 5u);
        }
        linhas_do_teclado r = procurar_linhas(p.chips, p.num_chips);
        EXPECT_EQ(r.resultado, k.resultado);
        EXPECT_EQ(r.chip, k.chip);
        EXPECT_EQ(r.erro, k.erro_dito);
    }
    EXPECT_EQ(procurar_linhas(p.chips, 0).resultado, resultado_da_procura::nenhum_chip);
}

// A board that is not a Pi names its chip and lines in the option file:
// here a Pi 3 B's, where the expander's STATUS_LED is the kernel's (the
// activity LED). What it names must be there, each line once, and free.
TEST(Escolha, TheOptionFilesChipAndLinesOrWhyNot)
{
    const char *nomes = "GPIO5,GPIO6,GPIO13,GPIO19, GPIO26,GPIO16,GPIO20,GPIO21";
    const std::vector<unsigned int> escolhidas = {5, 6, 13, 19, 26, 16, 20, 21};
    using R = resultado_da_procura;
    struct caso {
        escolha_de_linhas escolha;
        R resultado;
        int pino;
        std::vector<unsigned int> offsets;
    } casos[] = {
        {{"pinctrl-bcm2835", nomes}, R::achadas, 0, escolhidas},
        {{"/dev/gpiochip0", "5,6,13,19,26,16,20,21"}, R::achadas, 0, escolhidas},
        {{"", nomes}, R::achadas, 0, escolhidas},
        {{"gpiochip0", ""}, R::achadas, 0, {ESPERADO, ESPERADO + PINOS}},
        {{"gpiochip7", ""}, R::chip_ausente, 0, {}},
        {{"gpiochip0", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,GPIO20"}, R::linhas_invalidas, 0, {}},
        {{"gpiochip0", "GPIO5,GPIO6,,GPIO19,GPIO26,GPIO16,GPIO20,GPIO21"}, R::linhas_invalidas, 0, {}},
        {{"", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,GPIO20,21"}, R::numero_sem_chip, 7, {}},
        {{"gpiochip0", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,gpio20,GPIO21"}, R::linha_ausente, 6, {}},
        {{"gpiochip0", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,GPIO20,54"}, R::linha_ausente, 7, {}},
        {{"gpiochip0", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,GPIO20,5"}, R::linha_repetida, 7, {}},
        {{"gpiochip0", "GPIO5,GPIO6,GPIO13,GPIO19,GPIO26,GPIO16,GPIO20,ID_SDA"}, R::linha_em_uso, 7, {}},
        {{"raspberrypi-exp-gpio", "0,1,2,3,4,5,6,7"}, R::poucas_livres, 0, {}},
    };
    for (const caso &k : casos) {
        std::string nome = std::string(k.escolha.chip) + " / " + k.escolha.linhas;
        ASSERT_NO_FATAL_FAILURE(ler_placa("armmp_bcm2837-rpi-3-b.chips", false, &p));
        p.usadas[1][2] = true;
        p.usadas[0][0] = true;
        linhas_do_teclado r = procurar_linhas(p.chips, p.num_chips, k.escolha);
        EXPECT_EQ(r.resultado, k.resultado) << nome;
        if (k.resultado != R::achadas) {
            EXPECT_EQ(r.pino, k.pino) << nome;
            continue;
        }
        EXPECT_EQ(r.chip, 0) << nome;
        EXPECT_EQ(std::vector<unsigned int>(r.offset, r.offset + PINOS), k.offsets) << nome;
    }
    // A label two chips have says which is meant no more than nothing.
    snprintf(p.chips[0].rotulo, NOME_MAX + 1, "%s", p.chips[1].rotulo);
    EXPECT_EQ(procurar_linhas(p.chips, p.num_chips, {"raspberrypi-exp-gpio", ""}).resultado,
              R::chip_ambiguo);
}

} // namespace
