// The one way teclado and teclado-relatorio say that something failed: one
// line on standard error, opened by the program's name, so that a journal
// or a terminal shared with other programs tells whose line it is.
// It includes nothing of the program, so every layer can use it.
#pragma once

#include <cstdarg>

// The name that opens every line: "teclado" unless the running program sets
// its own before it first complains.
extern const char *nome_do_programa;

// Writes "<nome_do_programa>: ", the message formato makes of the
// arguments, and a newline.
__attribute__((format(printf, 1, 2))) void reclamar(const char *formato, ...);

// Writes "<nome_do_programa>: <assunto>: ", the message formato makes of
// argumentos, and a newline: for a caller that names what failed (a pin,
// an input line) in front of every message of its own.
__attribute__((format(printf, 2, 0))) void reclamar_sobre(const char *assunto, const char *formato,
                                                         va_list argumentos);
