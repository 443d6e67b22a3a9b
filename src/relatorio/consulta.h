// The report's questions to the server: one connection, the per-key
// summary and, for the picture, the presses per hour.
#pragma once

#include "relatorio/opcoes.h"
#include "relatorio/resumo.h"

// Connects as opcoes say (the [client] group of the option files fills in
// what they leave out), asks, and fills resumo (zeroed by the caller); the
// hourly counts only when com_barras. Returns false after one line on
// stderr when the server cannot be reached or does not answer in full.
bool consultar(const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo);
