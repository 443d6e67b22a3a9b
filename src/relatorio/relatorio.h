// teclado-relatorio: reads back what teclado logged in estado and sums it
// up per key, as a table, as tab-separated values or as a picture.
#pragma once

// Runs the whole report for this command line:
//   [--desde AAAA-MM-DD] [--ate AAAA-MM-DD] [--tsv] [--svg ARQUIVO]
//   [--placa NOME] [--host H] [--port N] [--socket S] [--user U] [--help] [--version]
// Both dates are whole days of the board's local time and both are
// included: --ate 2026-12-08 takes that day up to 23:59:59.999.
// Prints the report on standard output and any failure as one
// "teclado-relatorio: ..." line on standard error; returns the exit status
// (saida.h).
int relatorio(int argc, char **argv);
