// The report's sums: what one row adds to its key of its board once its
// pairing is known, and how the keys of every board add up into the key
// lines, the board lines and the chart. No server here.
#pragma once

#include "relatorio/opcoes.h"
#include "relatorio/resumo.h"

#include <string>
#include <utility>
#include <vector>

// What a row counts as, once the next row of its key on its board (by id)
// is known.
enum classe {
    FORA,                // its instant lies out of the period (the margin read around it)
    ESTADO_DESCONHECIDO, // ESTADO neither ON nor OFF: it splits no pair
    DATA_ILEGIVEL,       // DATA not a ctime text: instant unknown
    MS_INVALIDO,         // ms outside 0-999: instant unknown
    SOLTURA_ILEGIVEL,    // a press whose release's instant is unknown
    SOLTURA_ANTES,       // a press whose release is stamped before it
    PAR,                 // a press and its release
    PRESSAO_SO,          // a press followed by a press, or by nothing
    SOLTURA,             // a release: alone unless its press closes it
};

struct linha_classificada {
    classe c;
    // A press whose next row is a readable release inside the period: that
    // release is no release alone, and goes with the press if that is left out.
    bool fecha;
    long long instante; // the row's, ms on the TO_SECONDS scale (1 or 2 when unknown)
    long long segura;   // the hold in ms, for PAR
};

// Everything the rows of one key of one board add to the report, kept
// apart so that a key read again replaces its sums whole.
struct acumulado {
    resumo_tecla tecla;
    linhas_ignoradas ignoradas;
    long long eventos; // rows in the period or of unknown instant
    long long ultimo;  // latest readable press or release
    bool tem_ultimo;
    // Paired presses per hour (hours on the same scale, count), in runs:
    // rows come in instant order, so a run per hour.
    std::vector<std::pair<long long, long long>> horas;
};

// A board's sums: one per key in the keypad's order, and at SEM_TECLA its
// rows paired with none (a code of no key, ESTADO neither ON nor OFF).
constexpr int SEM_TECLA = 16;
struct somas_da_placa {
    std::string nome;
    acumulado de[SEM_TECLA + 1];
};

// Adds one classified row to a; do_teclado: its code is a key's.
void somar(acumulado *a, const linha_classificada &linha, bool do_teclado, bool com_horas);

// Fills resumo (zeroed by the caller) from every board's sums: the keys,
// the total, the boards with a row that counts in name order, and with
// com_barras the chart's bars over the period opcoes give.
void juntar(const std::vector<somas_da_placa> &placas, const opcoes_relatorio &opcoes,
            bool com_barras, resumo_relatorio *resumo);
