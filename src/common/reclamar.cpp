// The one printer of failures, see reclamar.h.
#include "reclamar.h"

#include <cstdio>

const char *nome_do_programa = "teclado";

void reclamar(const char *formato, ...)
{
    fprintf(stderr, "%s: ", nome_do_programa);
    va_list argumentos;
    va_start(argumentos, formato);
    vfprintf(stderr, formato, argumentos);
    va_end(argumentos);
    fputc('\n', stderr);
}

void reclamar_sobre(const char *assunto, const char *formato, va_list argumentos)
{
    fprintf(stderr, "%s: %s: ", nome_do_programa, assunto);
    vfprintf(stderr, formato, argumentos);
    fputc('\n', stderr);
}
