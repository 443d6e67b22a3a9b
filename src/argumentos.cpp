// teclado's command line, see argumentos.h.
#include "argumentos.h"

#include "common/reclamar.h"
#include "config.h"
#include "versao.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *USO = "uso: teclado [--help | --version]";

constexpr const char *AJUDA =
    "Varre um teclado matricial 4 x 4 nos pinos GPIO e registra cada pressao e\n"
    "soltura de tecla no console e na tabela estado do banco embarcados. Sem\n"
    "argumentos, roda ate ser encerrado.\n"
    "\n"
    "As configuracoes do banco de dados vem do grupo [teclado] do arquivo\n"
    "%s, ou do arquivo indicado pela variavel de ambiente\n"
    "TECLADO_CONFIG.\n"
    "\n"
    "  --help     mostra esta ajuda\n"
    "  --version  mostra a versao\n";

} // namespace

int lerargumentos(int argc, char **argv)
{
    if (argc <= 1)
        return -1;
    if (argc == 2 && strcmp(argv[1], "--help") == 0)
        {
        printf("%s\n", USO);
        printf(AJUDA, BANCO_ARQUIVO);
    }
    else if (argc == 2 && strcmp(argv[1], "--version") == 0)
        printf("teclado %s\n", TECLADO_VERSAO);
    else {
        reclamar("%s", USO);
        return 2;
    }
    // A help or version that did not reach its reader is not a success.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        reclamar("saida padrao: %s", strerror(errno));
        return 1;
    }
    return 0;
}
