// What the report sums up from the log: one struct the reading fills and
// the table and the picture read.
#pragma once

#include "mapa_do_teclado.h"
#include "relatorio/limites.h"

#include <string>
#include <vector>

// The keypad's codes row by row, as teclado's Teclado table has them.
inline constexpr int Teclas[4][4] = CODIGOS_DO_TECLADO;

// One key over the period (or one key of one board).
struct resumo_tecla {
    long long pressoes;   // presses paired with their release, holds readable
    long long soma_ms;    // their holds added up
    long long maior_ms;   // the longest hold
    long long sem_par;    // presses and releases left without a partner
    long long ultima;     // latest press, paired or not (ms, TO_SECONDS scale)
    long long primeira_par, ultima_par; // first and latest paired press
    bool tem_ultima;
};

// Rows left out of every figure, by reason. A row of a pair whose other
// row is left out goes with it, so that it does not pass for a press or a
// release without a partner.
struct linhas_ignoradas {
    long long data_ilegivel;       // DATA not a ctime text
    long long ms_invalido;         // ms outside 0-999
    long long estado_desconhecido; // ESTADO neither ON nor OFF
    long long tecla_desconhecida;  // a code no key of the keypad has
    long long par_ignorado;        // the other row of its pair left out
    long long soltura_antes;       // a pair released before its press (a clock set back)
};

// The longest board name in bytes: the placa column's 384 characters of
// up to four bytes each.
constexpr int PLACA_NOME_MAX = 384 * 4;

// One board over the period.
struct resumo_placa {
    std::string nome;   // its exact bytes
    long long eventos;  // its rows, those left out included
    long long pressoes; // as resumo_tecla's, over the keypad's keys
    long long sem_par;
    long long ultimo;   // its latest readable event, press or release
    bool tem_ultimo;
};

struct resumo_relatorio {
    resumo_tecla tecla[4][4];
    resumo_tecla total;
    linhas_ignoradas ignoradas;
    // Every board with a row in the period (or the one asked for), in name
    // order (byte by byte).
    std::vector<resumo_placa> placas;
    bool placa_ausente; // --placa names a board with no row in the log
    // Paired presses per bar of horas_por_barra hours from inicio_barras
    // (ms, TO_SECONDS scale); nbarras 0 when not asked for or no press.
    long long barras[RELATORIO_BARRAS_MAX];
    int nbarras;
    long long horas_por_barra;
    long long inicio_barras;
};
