// The report as text: the table a person reads, or tab-separated values
// for scripts.
#pragma once

#include "relatorio/opcoes.h"
#include "relatorio/resumo.h"

#include <cstddef>
#include <cstdio>

// Writes the table (or, with opcoes.tsv, the TSV) of resumo to saida; the
// caller checks saida for a failed write. Both end with the line of
// escreverignoradas when rows were left out, and only then.
void imprimirtabela(FILE *saida, const opcoes_relatorio &opcoes, const resumo_relatorio &resumo);

// "12 linhas ignoradas: 10 data ilegivel, 2 tecla desconhecida", with the
// reasons that count; returns false, texto empty, when no row was left out.
bool escreverignoradas(const linhas_ignoradas &ignoradas, char *texto, std::size_t tamanho);
