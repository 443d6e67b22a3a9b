// Finding the keypad's eight lines among a system's GPIO chips, as a plain
// function of what the kernel says of each chip: no device is opened here,
// so any board's chips can be tried in-process. chardev.cpp gathers the
// chips from /dev/gpiochip* and turns the result into its messages.
//
// The lines are found by what identifies them: the SoC's GPIO chip by its
// label, whatever its gpiochipN number, and the BCM GPIO number as the line
// offset. Line names differ from board to board and serve only where no
// known chip is present, and then all eight on one chip: another chip's
// line of the same name (the firmware's expander has a CAM_GPIO0) is not on
// the header.
//
// On a board that is not a Pi, the option file names the chip and the
// eight lines instead (escolha_de_linhas); they are all checked here, so a
// wrong choice is refused before a line is claimed.
#pragma once

constexpr int PINOS = 8;

// Chip numbers tried. They are not dense (a Pi 5 on kernel 6.6.47 or newer
// has gpiochip0 and gpiochip10 to 13), so a missing number does not end
// the search.
constexpr int CHIPS_MAX = 64;

// The kernel's longest name, label or consumer (GPIO_MAX_NAME_SIZE), here
// without the kernel's header.
constexpr int NOME_MAX = 32;

// Names a board's device tree may give one line; the rest of the slots empty.
constexpr int NOMES_MAX = 2;

// wiringPi pin (index) -> the header line by its BCM GPIO number, which is
// its offset on the SoC's GPIO chip on every Raspberry Pi, and its names,
// as mapa_do_teclado.h wires them. The names are only for a chip teclado
// does not know; the preferred first.
struct linha_do_pino {
    unsigned int bcm;
    const char *nomes[NOMES_MAX];
};
extern const linha_do_pino linhas_dos_pinos[PINOS];

// The labels the kernel's drivers give the SoC's GPIO chip: Pi 1, 2, 3 and
// Zero; Pi 4, 400 and CM4; Pi 5 (the RP1, gpiochip0 from kernel 6.6.47 on,
// gpiochip4 before).
constexpr int ROTULOS_DA_SOC = 3;
extern const char *const chips_da_soc[ROTULOS_DA_SOC];

// One /dev/gpiochipN that is there (an absent number has no entry).
struct chip_gpio {
    int numero; // N
    // 0, or the errno that kept the chip from being opened or its
    // information from being read; then only numero holds.
    int erro;
    // The kernel's own name for the chip: on a Pi 5 /dev/gpiochip4 is a
    // link to gpiochip0, and this tells the two apart.
    char nome[NOME_MAX + 1];
    char rotulo[NOME_MAX + 1];
    unsigned int linhas;
    // The names of lines 0 to nomes_lidos - 1 ("" for an unnamed line), and
    // the errno that stopped the reading before the last line, else 0.
    const char (*nomes)[NOME_MAX + 1];
    unsigned int nomes_lidos;
    int erro_nos_nomes;
    // Whether each of lines 0 to nomes_lidos - 1 is held by a driver or a
    // program; nullptr: none is.
    const bool *usadas;
};

// The option file's gpio-chip and gpio-lines: the chip by its path
// (/dev/gpiochipN), name (gpiochipN) or label, and eight line names or
// offsets, comma-separated, in the order of the pins (the four columns,
// then the four rows). "" where the file names none: with neither, the
// lookup above; gpio-chip alone: that lookup on that chip only; gpio-lines
// alone: the first chip that has all eight names.
struct escolha_de_linhas {
    const char *chip;
    const char *linhas;
};

enum class resultado_da_procura {
    achadas,              // chip and offset hold the lines
    sem_permissao,        // chip refused with erro, a permission error
    chip_ilegivel,        // chip refused with erro, another error
    nenhum_chip,          // no /dev/gpiochip* at all
    nenhum_chip_da_placa, // chips there, none with the eight lines
    // Refusals of the option file's choice:
    chip_ausente,      // gpio-chip names no chip there
    chip_ambiguo,      // gpio-chip is the label of chip and of outro
    linhas_invalidas,  // gpio-lines is not eight names or offsets
    numero_sem_chip,   // gpio-lines has an offset (pino's), gpio-chip nothing
    poucas_livres,     // chip has fewer than eight lines free (livres)
    linha_ausente,     // pino's line is not on chip (-1: on no chip)
    linha_repetida,    // pino's line is outro's too
    linha_em_uso,      // pino's line is held already
};

struct linhas_do_teclado {
    resultado_da_procura resultado;
    int chip; // its number: the lines' chip, or the refused one
    int erro;
    unsigned int offset[PINOS];
    // Where the lines were not found: the pin to name, the first one
    // missing on the chip that had the most of them by name (else pin 0).
    int pino;
    // Indices into the chips given of those read, each chip once, in order.
    int vistos[CHIPS_MAX];
    int num_vistos;
    // For the choice's refusals: the other pin or chip number, the chip's
    // free lines, and each pin's item of gpio-lines ("" without it).
    int outro;
    int livres;
    char nomes[PINOS][NOME_MAX + 1];
};

// Looks for the lines on chips[0] to chips[num_chips - 1], given in the
// order of their numbers. Of several refused chips the one reported is the
// first refused with a permission error, else the first refused: a chip
// that could not be opened or read before one whose names could not be.
// escolha, where it names a chip or lines, narrows the search to them, and
// then every line found must be free.
linhas_do_teclado procurar_linhas(const chip_gpio *chips, int num_chips,
                                  escolha_de_linhas escolha = {"", ""});
