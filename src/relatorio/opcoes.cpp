// The report's command line, see opcoes.h.
#include "relatorio/opcoes.h"

#include "common/reclamar.h"
#include "relatorio/calendario.h"
#include "relatorio/saida.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

enum { DESDE = 1, ATE, TSV, SVG, HOST, PORTA, SOCKET, USUARIO, PLACA, AJUDA, VERSAO };
const struct option Opcoes[] = {
    {"desde", required_argument, nullptr, DESDE}, {"ate", required_argument, nullptr, ATE},
    {"tsv", no_argument, nullptr, TSV},           {"svg", required_argument, nullptr, SVG},
    {"host", required_argument, nullptr, HOST},   {"port", required_argument, nullptr, PORTA},
    {"socket", required_argument, nullptr, SOCKET},
    {"user", required_argument, nullptr, USUARIO}, {"placa", required_argument, nullptr, PLACA},
    {"help", no_argument, nullptr, AJUDA},        {"version", no_argument, nullptr, VERSAO},
    {nullptr, 0, nullptr, 0},
};

// The option's own name: what the user typed may be an abbreviation, an
// empty word or carry "=value".
const char *nomedaopcao(int codigo)
{
    for (const struct option *o = Opcoes; o->name != nullptr; o++)
        if (o->val == codigo)
            return o->name;
    return nullptr;
}

bool lerdia(const char *texto, const char *opcao, long long *dias)
{
    if (lerdata(texto, dias))
        return true;
    char eco[256];
    reclamar("data invalida para --%s: %s (use AAAA-MM-DD)", opcao,
             legivel(texto, eco, sizeof eco));
    return false;
}

} // namespace

const char *legivel(const char *texto, char *buffer, size_t tamanho)
{
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(texto); *p != '\0'; p++) {
        char trecho[5];
        if (*p == '\n')
            strcpy(trecho, "\\n");
        else if (*p == '\t')
            strcpy(trecho, "\\t");
        else if (*p < 0x20 || *p == 0x7f)
            snprintf(trecho, sizeof trecho, "\\x%02x", *p);
        else
            trecho[0] = static_cast<char>(*p), trecho[1] = '\0';
        size_t k = strlen(trecho);
        if (n + k + 4 > tamanho) {
            strcpy(buffer + n, "...");
            return buffer;
        }
        memcpy(buffer + n, trecho, k);
        n += k;
    }
    buffer[n] = '\0';
    return buffer;
}

void mostrarajuda(FILE *saida)
{
    fputs("uso: teclado-relatorio [--desde AAAA-MM-DD] [--ate AAAA-MM-DD] [--tsv] [--svg ARQUIVO]\n"
          "                         [--placa NOME] [--host H] [--port N] [--socket S] [--user U]\n"
          "       teclado-relatorio --help | --version\n"
          "Pressoes por tecla do registro de teclado (tabela estado): quantas, duracao media e\n"
          "maxima em ms, a ultima, e os eventos sem par (pressao sem soltura ou o contrario).\n"
          "--desde e --ate sao dias inteiros, ambos incluidos. --placa NOME: so as linhas dessa\n"
          "placa; sem ela, com linhas de mais de uma placa, um resumo por placa segue a tabela.\n"
          "A senha vem de MYSQL_PWD ou do grupo [client] dos arquivos de opcoes, como no\n"
          "cliente mariadb.\n"
          "Saida: 0 relatorio feito, 1 falha do banco ou da escrita, 2 linha de comando recusada\n"
          "(ou placa sem nenhuma linha no registro).\n",
          saida);
}

int leropcoes(int argc, char **argv, opcoes_relatorio *opcoes)
{
    *opcoes = {};
    char eco[256];
    opterr = 0;
    int opcao, indice;
    // "+": options stop at the first other argument, which is then refused.
    while ((opcao = getopt_long(argc, argv, "+:", Opcoes, &indice)) != -1) {
        const char *valor = optarg;
        if (opcao == '?') {
            // getopt names in optopt a long option given a value it does not take.
            if (optopt > 0 && optopt <= VERSAO)
                reclamar("--%s nao leva valor: %s", nomedaopcao(optopt),
                         legivel(argv[optind - 1], eco, sizeof eco));
            else
                reclamar("opcao desconhecida: %s (veja --help)",
                         legivel(argv[optind - 1], eco, sizeof eco));
            return RELATORIO_USO;
        }
        if (opcao == ':') {
            reclamar("falta o valor de --%s", nomedaopcao(optopt));
            return RELATORIO_USO;
        }
        if (valor != nullptr && valor[0] == '\0') {
            reclamar("valor vazio para a opcao --%s", nomedaopcao(opcao));
            return RELATORIO_USO;
        }
        switch (opcao) {
        case DESDE: opcoes->desde = valor; break;
        case ATE: opcoes->ate = valor; break;
        case TSV: opcoes->tsv = true; break;
        case SVG: opcoes->svg = valor; break;
        case HOST: opcoes->host = valor; break;
        case SOCKET: opcoes->socket = valor; break;
        case USUARIO: opcoes->usuario = valor; break;
        case PLACA: opcoes->placa = valor; break;
        case AJUDA: opcoes->ajuda = true; break;
        case VERSAO: opcoes->versao = true; break;
        case PORTA: {
            char *fim;
            errno = 0;
            unsigned long porta = strtoul(valor, &fim, 10);
            if (errno != 0 || *fim != '\0' || valor[0] < '0' || valor[0] > '9' || porta < 1 ||
                porta > 65535) {
                reclamar("porta invalida: %s (de 1 a 65535)", legivel(valor, eco, sizeof eco));
                return RELATORIO_USO;
            }
            opcoes->porta = static_cast<unsigned int>(porta);
            break;
        }
        }
    }
    if (optind < argc) {
        reclamar("argumento inesperado: %s (veja --help)", legivel(argv[optind], eco, sizeof eco));
        return RELATORIO_USO;
    }
    long long dias;
    opcoes->periodo_de = 0;
    opcoes->periodo_ate = 9223372036854775807LL;
    if (opcoes->desde != nullptr) {
        if (!lerdia(opcoes->desde, "desde", &dias))
            return RELATORIO_USO;
        opcoes->periodo_de = iniciododia(dias);
    }
    if (opcoes->ate != nullptr) {
        if (!lerdia(opcoes->ate, "ate", &dias))
            return RELATORIO_USO;
        // The whole day: a user who asks up to a day means that day too.
        opcoes->periodo_ate = iniciododia(dias + 1) - 1;
    }
    if (opcoes->periodo_de > opcoes->periodo_ate) {
        reclamar("--desde depois de --ate: %s", opcoes->desde);
        return RELATORIO_USO;
    }
    return RELATORIO_OK;
}

void escreverperiodo(const opcoes_relatorio &opcoes, char *texto, size_t tamanho)
{
    if (opcoes.desde != nullptr && opcoes.ate != nullptr)
        snprintf(texto, tamanho, "de %s a %s", opcoes.desde, opcoes.ate);
    else if (opcoes.desde != nullptr)
        snprintf(texto, tamanho, "desde %s", opcoes.desde);
    else if (opcoes.ate != nullptr)
        snprintf(texto, tamanho, "ate %s", opcoes.ate);
    else
        snprintf(texto, tamanho, "todo o registro");
}
