// teclado-relatorio's internal sizes: what the queries ask of the server
// and how much of the log the summary holds.
#pragma once

// Per session, for the server's temporary tables and sorts when it pairs
// the events itself (a key with a clock set back among its events, or a
// log past the report's own room): enough to keep the pairing of a
// million events in memory; bigger logs spill to disk.
constexpr unsigned long RELATORIO_MEMORIA_TEMP = 256UL * 1024 * 1024;
constexpr unsigned long RELATORIO_MEMORIA_ORDEM = 32UL * 1024 * 1024;
// How far past a period's bounds the report reads to pair the presses and
// releases across them: a hold longer than this across a bound counts as
// a press and a release without a partner.
constexpr long long RELATORIO_MARGEM_MS = 3600000LL;
// Boards summed up one by one after the table; a log with more names the
// number of the others.
constexpr int RELATORIO_PLACAS_MAX = 64;
// Bars of the presses-per-hour chart; a longer period puts several hours in
// each bar.
constexpr int RELATORIO_BARRAS_MAX = 168;
