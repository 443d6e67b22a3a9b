// The report's calendar: days and instants as plain integer arithmetic on
// the proleptic Gregorian calendar, with no time_t anywhere, so that a
// board whose C library still has a 32-bit time_t reads past January 2038.
#pragma once

#include <cstddef>

constexpr long long MS_POR_DIA = 86400000LL;
constexpr long long MS_POR_HORA = 3600000LL;
// TO_DAYS('1970-01-01'): the server counts days from year 0.
constexpr long long DIAS_ATE_1970 = 719528;

// Days from 1970-01-01 to the given day, and back.
long long diasdesde1970(int ano, int mes, int dia);
void diadecalendario(long long dias, int *ano, int *mes, int *dia);

// Reads "AAAA-MM-DD" into a day number of diasdesde1970; years 1000 to
// 9999, which the server's DATETIME holds. Returns false for anything else,
// an impossible day (2026-02-30) included.
bool lerdata(const char *texto, long long *dias);

// The first ms of a day of diasdesde1970, on the scale the queries use:
// ms since the server's year 0 (TO_SECONDS times 1000). A day's last ms is
// the next day's first minus one.
long long iniciododia(long long dias);

// Writes an instant in ms on that scale as "AAAA-MM-DD HH:MM:SS.mmm" into
// texto (24 bytes at least).
void escreverinstante(long long instante_ms, char *texto, std::size_t tamanho);
