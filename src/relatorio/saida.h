// teclado-relatorio's exit statuses: a report made; the server, or a write
// of the report or the picture, failed; the command line refused (an --svg
// path that cannot be written, and a --placa no row of the log names,
// included).
#pragma once

constexpr int RELATORIO_OK = 0;
constexpr int RELATORIO_FALHA = 1;
constexpr int RELATORIO_USO = 2;
