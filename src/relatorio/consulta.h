// The report's reading: the rows of the period in one pass, paired and
// summed by the pairing (pareamento.h) as they come.
#pragma once

#include "relatorio/opcoes.h"
#include "relatorio/resumo.h"

// Connects as opcoes say (the [client] group of the option files fills in
// what they leave out), reads, and fills resumo (zeroed by the caller); the
// hourly counts only when com_barras. Returns false after one line on
// stderr when the server cannot be reached or does not answer in full.
bool consultar(const opcoes_relatorio &opcoes, bool com_barras, resumo_relatorio *resumo);
