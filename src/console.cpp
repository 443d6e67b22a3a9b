// The console lines of console.h, printed on standard output; what the
// program says of its failures goes to standard error (common/reclamar.h).
#include "console.h"

#include <cstdarg>
#include <cstdio>

void mostrarinicio(void) { puts(LINHA_DE_INICIO); }

void mostrarpressao(void) { puts(LINHA_DE_PRESSAO); }

void mostrarevento(int tecla, bool pressionada, const char *data, int ms)
{
    printf(FORMATO_DO_BOTAO, tecla);
    printf(pressionada ? FORMATO_DE_ON : FORMATO_DE_OFF, data, ms);
}

void mostrarconexao(bool ligada) { puts(ligada ? LINHA_CONECTADO : LINHA_SEM_CONEXAO); }

void mostrarfalha(bool incerta, const char *formato, ...)
{
    fputs(incerta ? INICIO_INCERTO : INICIO_NAO_GRAVADO, stdout);
    va_list argumentos;
    va_start(argumentos, formato);
    vprintf(formato, argumentos);
    va_end(argumentos);
    putchar('\n');
}
