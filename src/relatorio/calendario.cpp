// Calendar arithmetic of the report, see calendario.h.
#include "relatorio/calendario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Howard Hinnant's days_from_civil and civil_from_days: eras of 400 years
// (146097 days), in which every leap year falls in the same place.
long long diasdesde1970(int ano, int mes, int dia)
{
    long long a = ano - (mes <= 2);
    long long era = (a >= 0 ? a : a - 399) / 400;
    long long ano_da_era = a - era * 400;
    long long dia_do_ano = (153 * (mes + (mes > 2 ? -3 : 9)) + 2) / 5 + dia - 1;
    long long dia_da_era = ano_da_era * 365 + ano_da_era / 4 - ano_da_era / 100 + dia_do_ano;
    return era * 146097 + dia_da_era - 719468;
}

void diadecalendario(long long dias, int *ano, int *mes, int *dia)
{
    dias += 719468;
    long long era = (dias >= 0 ? dias : dias - 146096) / 146097;
    long long dia_da_era = dias - era * 146097;
    long long ano_da_era =
        (dia_da_era - dia_da_era / 1460 + dia_da_era / 36524 - dia_da_era / 146096) / 365;
    long long dia_do_ano = dia_da_era - (365 * ano_da_era + ano_da_era / 4 - ano_da_era / 100);
    long long m = (5 * dia_do_ano + 2) / 153;
    *dia = static_cast<int>(dia_do_ano - (153 * m + 2) / 5 + 1);
    *mes = static_cast<int>(m < 10 ? m + 3 : m - 9);
    *ano = static_cast<int>(ano_da_era + era * 400 + (*mes <= 2));
}

bool lerdata(const char *texto, long long *dias)
{
    static const char molde[] = "DDDD-DD-DD";
    if (strlen(texto) != sizeof molde - 1)
        return false;
    for (size_t i = 0; i < sizeof molde - 1; i++) {
        bool digito = texto[i] >= '0' && texto[i] <= '9';
        if (molde[i] == 'D' ? !digito : texto[i] != molde[i])
            return false;
    }
    int ano = atoi(texto), mes = atoi(texto + 5), dia = atoi(texto + 8);
    if (ano < 1000 || mes < 1 || mes > 12 || dia < 1 || dia > 31)
        return false;
    // A day past the end of its month comes back as another day.
    long long n = diasdesde1970(ano, mes, dia);
    int a, m, d;
    diadecalendario(n, &a, &m, &d);
    if (a != ano || m != mes || d != dia)
        return false;
    *dias = n;
    return true;
}

long long iniciododia(long long dias)
{
    return (dias + DIAS_ATE_1970) * MS_POR_DIA;
}

void escreverinstante(long long instante_ms, char *texto, size_t tamanho)
{
    long long dias = instante_ms / MS_POR_DIA, resto = instante_ms % MS_POR_DIA;
    int ano, mes, dia;
    diadecalendario(dias - DIAS_ATE_1970, &ano, &mes, &dia);
    snprintf(texto, tamanho, "%04d-%02d-%02d %02d:%02d:%02d.%03d", ano, mes, dia,
             static_cast<int>(resto / MS_POR_HORA), static_cast<int>(resto / 60000 % 60),
             static_cast<int>(resto / 1000 % 60), static_cast<int>(resto % 1000));
}
