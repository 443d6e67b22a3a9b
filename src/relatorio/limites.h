// teclado-relatorio's internal sizes: how far past a period it reads and
// how many bars its chart has.
#pragma once

// How far past a period's bounds the report reads to pair the presses and
// releases across them: a hold longer than this across a bound counts as
// a press and a release without a partner.
constexpr long long RELATORIO_MARGEM_MS = 3600000LL;
// Bars of the presses-per-hour chart; a longer period puts several hours in
// each bar.
constexpr int RELATORIO_BARRAS_MAX = 168;
