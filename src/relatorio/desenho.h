// The report as a picture (SVG): the keypad shaded by count and the
// presses per hour.
#pragma once

#include "relatorio/opcoes.h"
#include "relatorio/resumo.h"

#include <cstdio>

// Writes the whole picture of resumo to svg; the caller checks svg for a
// failed write.
void desenhar(FILE *svg, const opcoes_relatorio &opcoes, const resumo_relatorio &resumo);
