// teclado-relatorio's course: the command line, the questions to the
// server, the table and the picture, see relatorio.h.
#include "relatorio/relatorio.h"

#include "common/descritores.h"
#include "common/reclamar.h"
#include "relatorio/arquivo.h"
#include "relatorio/consulta.h"
#include "relatorio/desenho.h"
#include "relatorio/opcoes.h"
#include "relatorio/saida.h"
#include "relatorio/tabela.h"
#include "versao.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool terminarsaida(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        reclamar("falha ao escrever o relatorio: %s", strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int relatorio(int argc, char **argv)
{
    // Its failures are told apart from the scanner's in a shared journal.
    nome_do_programa = "teclado-relatorio";
    // A descriptor of 0-2 left closed by the caller would go to the next
    // file opened (the picture, the server's link), and the table or a
    // complaint would be written into it; read-only, a write to a closed
    // output fails and is reported.
    if (reabrirdescritores(O_RDONLY) != 0) {
        reclamar("/dev/null: %s", strerror(errno));
        return 1;
    }
    opcoes_relatorio opcoes;
    int status = leropcoes(argc, argv, &opcoes);
    if (status != RELATORIO_OK)
        return status;
    if (opcoes.ajuda || opcoes.versao) {
        if (opcoes.ajuda)
            mostrarajuda(stdout);
        else
            printf("teclado-relatorio %s\n", TECLADO_VERSAO);
        return terminarsaida() ? RELATORIO_OK : RELATORIO_FALHA;
    }
    // Made before the slow part: a path that cannot be written is a
    // mistake on the command line.
    arquivo_svg svg;
    if (opcoes.svg != nullptr && !abrirsvg(opcoes.svg, &svg))
        return RELATORIO_USO;
    resumo_relatorio resumo = {};
    bool feito = consultar(opcoes, opcoes.svg != nullptr, &resumo);
    if (feito && resumo.placa_ausente) {
        // An empty report for a misspelt name would pass for a quiet board.
        char eco[256];
        reclamar("nenhuma linha da placa %s no registro", legivel(opcoes.placa, eco, sizeof eco));
        if (opcoes.svg != nullptr)
            fecharsvg(&svg, false);
        return RELATORIO_USO;
    }
    if (feito) {
        imprimirtabela(stdout, opcoes, resumo);
        feito = terminarsaida();
    }
    if (opcoes.svg != nullptr) {
        if (feito)
            desenhar(svg.arquivo, opcoes, resumo);
        feito = fecharsvg(&svg, feito);
    }
    return feito ? RELATORIO_OK : RELATORIO_FALHA;
}
