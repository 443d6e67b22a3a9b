// The report's pairing: each ON and OFF row of a key of a board paired with
// the next row of that key on that board in id order, every row classified
// (see classe) and summed into its board's key. No server here: rows come
// in from whatever reads them.
//
// The rows may come in any order, as an index hands them over: a key whose
// rows come in id order is paired as they come; rows of unknown instant
// wait, sorted by id, for their key's next row of known instant. A key of
// a board whose rows come out of id order (a clock set back, two events in
// the same ms) drops its sums and is left for its rows to be handed over
// again (receberdenovo) and paired in id order (reparear).
#pragma once

#include "relatorio/somas.h"

#include <array>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
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

// One key of one board as its rows come.
struct seguimento {
    evento anterior;   // the last row paired so far, awaiting its next
    bool tem_anterior;
    bool com_instante; // a row of known instant has come
    bool ordenadas;    // sem_instante sorted by id
    bool desordenada;  // rows came out of id order: to be read again
    std::vector<evento> sem_instante; // rows of unknown instant not yet paired
    std::size_t proxima;              // the first of them not yet paired
};

struct pareamento {
    long long de, ate; // the period, both included, ms on the TO_SECONDS scale
    bool com_horas;
    std::vector<somas_da_placa> somas;             // per board, in order of first row
    std::vector<std::array<seguimento, 16>> seguindo; // per board, per key
    std::unordered_map<std::string, std::size_t> lugar; // a board's exact name: its place
    std::string chave;                              // the name looked up, its room reused
    std::size_t ultima;                             // the last row's board
    std::vector<std::pair<std::size_t, evento>> relidas; // a key's rows handed over again
};

// The key's place row by row (k / 4, k % 4), -1 for a code of no key.
int lugardatecla(long long tecla);

// What row counts as, given the next row of its key on its board (none: nullptr).
linha_classificada classificar(const evento &row, const evento *proximo, long long de, long long ate);

void comecar(pareamento *p, long long de, long long ate, bool com_horas);
// A row of board placa (tamanho bytes, compared byte for byte).
void receber(pareamento *p, const char *placa, std::size_t tamanho, const evento &e);
// The rows are all in: the last row of each key goes without a next.
void terminar(pareamento *p);
// The keys some board left out of id order, bit k for key k.
unsigned teclasdesordenadas(const pareamento &p);
// Key k's rows read again (any board, any order): kept for the boards that
// left k out of order; then reparear pairs them in id order.
void receberdenovo(pareamento *p, int k, const char *placa, std::size_t tamanho, const evento &e);
void reparear(pareamento *p, int k);
