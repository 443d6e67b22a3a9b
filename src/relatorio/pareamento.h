// The report's pairing: each ON and OFF row of a key of a board paired with
// the next row of that key on that board in id order, every row classified
// (see classe) and summed into its board's key. No server here: rows come
// in from whatever reads them, in any order (an index hands them over in
// instant order, and a clock set back or two events in one ms bring a
// key's rows out of id order): each key's rows of each board are kept
// until the read is over, then sorted by id if they need it, and paired.
#pragma once

#include "relatorio/somas.h"

#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

// A row's instant when it is unknown: DATA not a ctime text, ms outside 0-999.
constexpr long long SEM_DATA = 1, MS_FORA = 2;

// One row of estado: its key's code, id, 1 for ON, -1 for OFF, 0 for
// neither, and its instant in ms on the TO_SECONDS scale (or SEM_DATA, MS_FORA).
struct evento {
    long long tecla, id;
    int sinal;
    long long instante;
};

// A row kept for pairing: its id, and its instant positive for a press,
// negative for a release.
struct linha_da_tecla {
    long long id, x;
};

struct pareamento {
    long long de, ate; // the period, both included, ms on the TO_SECONDS scale
    bool com_horas;
    std::vector<somas_da_placa> somas; // per board, in order of first row
    // Per board, per key; a deque grows without moving what it holds.
    std::vector<std::array<std::deque<linha_da_tecla>, 16>> linhas;
    std::unordered_map<std::string, std::size_t> lugar; // a board's exact name: its place
    std::string chave;  // the name looked up, its room reused
    std::size_t ultima; // the last row's board
};

// The key's place row by row (k / 4, k % 4), -1 for a code of no key.
int lugardatecla(long long tecla);

// What row counts as, given the next row of its key on its board (none: nullptr).
linha_classificada classificar(const evento &row, const evento *proximo, long long de, long long ate);

void comecar(pareamento *p, long long de, long long ate, bool com_horas);
// A row of board placa (tamanho bytes, compared byte for byte).
void receber(pareamento *p, const char *placa, std::size_t tamanho, const evento &e);
// The rows are all in: pairs each key of each board in id order and sums it.
void terminar(pareamento *p);
