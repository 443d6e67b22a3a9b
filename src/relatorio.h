// teclado-relatorio: reads back what teclado logged in estado and sums it
// up per key, as a table, as tab-separated values or as a picture.
#pragma once

#include <cstdio>

// Exit statuses: a report made, the server or the output failed, the
// command line refused.
constexpr int RELATORIO_OK = 0;
constexpr int RELATORIO_FALHA = 1;
constexpr int RELATORIO_USO = 2;

// Runs the whole report for this command line:
//   [--desde AAAA-MM-DD] [--ate AAAA-MM-DD] [--tsv] [--svg ARQUIVO]
//   [--host H] [--port N] [--socket S] [--user U] [--help]
// Both dates are whole days of the board's local time and both are
// included: --ate 2026-12-08 takes that day up to 23:59:59.999.
// Prints the report on standard output and any failure as one
// "teclado-relatorio: ..." line on standard error; returns the exit status.
int relatorio(int argc, char **argv);

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar,
// and back. Plain arithmetic: a 32-bit time_t (armhf) stops at 2038.
long long diasdesde1970(int ano, int mes, int dia);
void diadecalendario(long long dias, int *ano, int *mes, int *dia);

// Reads "AAAA-MM-DD" into a day number of diasdesde1970; years 1000 to
// 9999, which the server's DATETIME holds. Returns false for anything else,
// an impossible day (2026-02-30) included.
bool lerdata(const char *texto, long long *dias);

// Writes an instant given in ms since the server's year 0 (the scale of
// TO_SECONDS, times 1000) as "AAAA-MM-DD HH:MM:SS.mmm" into texto
// (24 bytes at least).
void escreverinstante(long long instante_ms, char *texto, size_t tamanho);
