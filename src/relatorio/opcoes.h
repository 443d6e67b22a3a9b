// teclado-relatorio's command line, read into one struct.
#pragma once

#include <cstddef>
#include <cstdio>

struct opcoes_relatorio {
    // As given, or null; the dates already checked as AAAA-MM-DD. placa:
    // the one board whose rows the report keeps to.
    const char *desde, *ate, *svg, *host, *socket, *usuario, *placa;
    unsigned int porta; // 0: the client library's default
    bool tsv, ajuda, versao;
    // The period in ms on the queries' scale (see calendario.h), both ends
    // included: whole days, or the whole log.
    long long periodo_de, periodo_ate;
};

// Reads the command line into opcoes. Returns RELATORIO_OK, or
// RELATORIO_USO (saida.h) after one line on stderr. --help and --version
// only set their flags: an unexpected argument beside them is still refused.
int leropcoes(int argc, char **argv, opcoes_relatorio *opcoes);

void mostrarajuda(FILE *saida);

// The period in words ("de 2026-03-10 a 2026-03-11", "todo o registro").
void escreverperiodo(const opcoes_relatorio &opcoes, char *texto, std::size_t tamanho);

// texto as it may be echoed in a message: control characters (a newline
// that would forge a second line) written as \n, \t or \xHH; cut short
// with "..." to fit the buffer.
const char *legivel(const char *texto, char *buffer, std::size_t tamanho);
