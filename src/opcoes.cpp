// The database settings' option file, checked line by line the way the
// client library reads it (Connector/C 3.3, measured): "[group]" taken
// verbatim, "key", "key=value" or "key = value" with '_' read as '-', keys
// case-sensitive, a value quoted whole losing its quotes, '#' or ';' opening
// a comment only at the start of a line (password=a#b is "a#b"), numbers
// read with atoi (port=33O7 is port 33).
#include "opcoes.h"

#include "common/reclamar.h"
#include "config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What a key's value must be.
enum class Valor {
    texto,     // anything
    nenhum,    // none, or any (the library ignores it)
    booleano,  // 0 or 1: the library reads "true", "yes" and a key alone as 0
    tls,       // a TLS setting: anything, and TLS is then required
    porta,     // 1 to 65535
    tamanho,   // a whole number
    conexao,   // seconds, 1 to BANCO_LIMITE_MAX_S: teclado's limits
    escrita,
    leitura,
    gpio,      // gpio-chip, gpio-lines: kept for the GPIO layer to check
};

struct Chave {
    const char *nome;
    Valor valor;
};

// Every key the library reads from an option file, and teclado's own
// (write-timeout, read-timeout, gpio-chip, gpio-lines; the library has
// none of those names and skips them). timeout is the library's other
// name for connect-timeout.
constexpr Chave CHAVES[] = {
    {"host", Valor::texto},
    {"port", Valor::porta},
    {"socket", Valor::texto},
    {"user", Valor::texto},
    {"password", Valor::texto},
    {"database", Valor::texto},
    {"connect-timeout", Valor::conexao},
    {"timeout", Valor::conexao},
    {"write-timeout", Valor::escrita},
    {"read-timeout", Valor::leitura},
    {"ssl-ca", Valor::tls},
    {"ssl-capath", Valor::tls},
    {"ssl-cert", Valor::tls},
    {"ssl-key", Valor::tls},
    {"ssl-crl", Valor::texto},
    {"ssl-crlpath", Valor::texto},
    {"ssl-cipher", Valor::texto},
    {"ssl-passphrase", Valor::texto},
    {"ssl-fp", Valor::tls},
    {"ssl-fp-list", Valor::tls},
    {"ssl-fplist", Valor::tls},
    {"ssl-verify-server-cert", Valor::booleano},
    {"ssl-enforce", Valor::booleano},
    {"tls-version", Valor::texto},
    {"server-public-key", Valor::texto},
    {"bind-address", Valor::texto},
    {"init-command", Valor::texto},
    {"default-character-set", Valor::texto},
    {"character-sets-dir", Valor::texto},
    {"plugin-dir", Valor::texto},
    {"default-auth", Valor::texto},
    {"restricted-auth", Valor::texto},
    {"compress", Valor::booleano},
    {"secure-auth", Valor::booleano},
    {"local-infile", Valor::booleano},
    {"disable-local-infile", Valor::nenhum},
    {"reconnect", Valor::booleano},
    {"report-data-truncation", Valor::booleano},
    {"max-allowed-packet", Valor::tamanho},
    {"net-buffer-length", Valor::tamanho},
    {"multi-results", Valor::nenhum},
    {"multi-statements", Valor::nenhum},
    {"multi-queries", Valor::nenhum},
    {"return-found-rows", Valor::nenhum},
    {"interactive-timeout", Valor::nenhum},
    {"debug", Valor::texto},
    {"gpio-chip", Valor::gpio},
    {"gpio-lines", Valor::gpio},
};

// The groups the library reads from the file; any other is skipped whole.
constexpr const char *GRUPOS[] = {"teclado", "client", "client-server", "client-mariadb"};

// The longest line taken, with its newline and terminator.
constexpr int LINHA_MAX = 1024;

__attribute__((format(printf, 3, 4))) bool recusar(OpcoesDoBanco *opcoes, int linha,
                                                    const char *formato, ...)
{
    int n = linha > 0 ? snprintf(opcoes->erro, sizeof opcoes->erro, "%s:%d: ", opcoes->arquivo, linha)
                      : snprintf(opcoes->erro, sizeof opcoes->erro, "%s: ", opcoes->arquivo);
    if (n < 0 || n >= static_cast<int>(sizeof opcoes->erro))
        return false;
    va_list argumentos;
    va_start(argumentos, formato);
    vsnprintf(opcoes->erro + n, sizeof opcoes->erro - n, formato, argumentos);
    va_end(argumentos);
    return false;
}

bool espaco(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// s without the blanks at either end (changes s in place).
char *aparar(char *s)
{
    while (espaco(*s))
        s++;
    char *fim = s + strlen(s);
    while (fim > s && espaco(fim[-1]))
        *--fim = '\0';
    return s;
}

// A whole number from 0 to maximo, nothing else.
bool numero(const char *s, unsigned long maximo, unsigned long *valor)
{
    if (*s < '0' || *s > '9')
        return false;
    char *fim;
    errno = 0;
    *valor = strtoul(s, &fim, 10);
    return *fim == '\0' && errno == 0 && *valor <= maximo;
}

// A host list as the recorder splits it: names or addresses separated by
// commas, each perhaps with ":port" ("[address]:port" for IPv6).
bool conferir_hosts(OpcoesDoBanco *opcoes, int linha, const char *valor)
{
    if (strlen(valor) >= sizeof opcoes->hosts)
        return recusar(opcoes, linha, "host com mais de %d caracteres", OPCOES_HOSTS_MAX - 1);
    strcpy(opcoes->hosts, valor);
    for (const char *elemento = valor;; elemento++) {
        size_t tamanho = strcspn(elemento, ",");
        char host[OPCOES_HOSTS_MAX];
        memcpy(host, elemento, tamanho);
        host[tamanho] = '\0';
        char *nome = aparar(host);
        char *porta = strrchr(nome, ':');
        if (nome[0] == '[')
            porta = strstr(nome, "]:") != nullptr ? strstr(nome, "]:") + 1 : nullptr;
        else if (porta != nullptr && strchr(nome, ':') != porta)
            porta = nullptr;  // an IPv6 address without a port
        unsigned long n;
        if (nome[0] == '\0' || porta == nome)
            return recusar(opcoes, linha, "host vazio na lista: %s", valor);
        if (porta != nullptr && (!numero(porta + 1, 65535, &n) || n == 0))
            return recusar(opcoes, linha, "porta invalida em %s (de 1 a 65535)", nome);
        elemento += tamanho;
        if (*elemento == '\0')
            return true;
    }
}

// Keeps gpio-chip's or gpio-lines' value for ler_opcoes_do_gpio().
bool guardar_gpio(OpcoesDoBanco *opcoes, int linha, const char *nome, const char *valor)
{
    char *guardado = strcmp(nome, "gpio-chip") == 0 ? opcoes->gpio_chip : opcoes->gpio_linhas;
    if (strlen(valor) >= OPCOES_GPIO_MAX)
        return recusar(opcoes, linha, "%s com mais de %d caracteres", nome, OPCOES_GPIO_MAX - 1);
    strcpy(guardado, valor);
    return true;
}

// Checks one "key[=value]" line of a group the library reads and keeps
// what teclado needs of it.
bool conferir_chave(OpcoesDoBanco *opcoes, int linha, char *texto)
{
    char *igual = strchr(texto, '=');
    char *valor = nullptr;
    if (igual != nullptr) {
        *igual = '\0';
        valor = aparar(igual + 1);
        size_t n = strlen(valor);
        if (n >= 2 && (valor[0] == '"' || valor[0] == '\'') && valor[n - 1] == valor[0]) {
            valor[n - 1] = '\0';
            valor++;
        }
    }
    char *nome = aparar(texto);
    for (char *c = nome; *c != '\0'; c++)
        if (*c == '_')
            *c = '-';
    const Chave *chave = nullptr;
    for (const Chave &c : CHAVES)
        if (strcmp(c.nome, nome) == 0)
            chave = &c;
    if (chave == nullptr)
        return recusar(opcoes, linha, "chave desconhecida '%s' (o cliente MariaDB a ignoraria)",
                       nome);
    if (valor == nullptr && chave->valor != Valor::nenhum)
        return recusar(opcoes, linha, "falta o valor de %s (%s=%s)", nome, nome,
                       chave->valor == Valor::booleano ? "1" : "...");

    unsigned long n = 0;
    switch (chave->valor) {
    case Valor::texto:
        if (strcmp(nome, "host") == 0)
            return conferir_hosts(opcoes, linha, valor);
        return true;
    case Valor::nenhum:
        return true;
    case Valor::gpio:
        return guardar_gpio(opcoes, linha, nome, valor);
    case Valor::tls:
        opcoes->tls = true;
        return true;
    case Valor::booleano:
        if (strcmp(valor, "1") == 0 && (strcmp(nome, "ssl-verify-server-cert") == 0 ||
                                        strcmp(nome, "ssl-enforce") == 0))
            opcoes->tls = true;
        if (strcmp(valor, "0") == 0 && strcmp(nome, "ssl-verify-server-cert") == 0)
            return recusar(opcoes, linha, "ssl-verify-server-cert=0: teclado so usa TLS com o "
                           "certificado do servidor conferido (sem isso o cliente entraria sem "
                           "cifra num servidor sem TLS)");
        if (strcmp(valor, "0") == 0 || strcmp(valor, "1") == 0)
            return true;
        return recusar(opcoes, linha, "%s=%s: use 1 (sim) ou 0 (nao)", nome, valor);
    case Valor::porta:
        if (numero(valor, 65535, &n) && n > 0)
            return true;
        return recusar(opcoes, linha, "porta invalida: %s (de 1 a 65535)", valor);
    case Valor::tamanho:
        if (numero(valor, 1UL << 30, &n))
            return true;
        return recusar(opcoes, linha, "%s=%s: use um numero inteiro de bytes", nome, valor);
    case Valor::conexao:
    case Valor::escrita:
    case Valor::leitura:
        if (!numero(valor, BANCO_LIMITE_MAX_S, &n) || n == 0)
            return recusar(opcoes, linha, "%s=%s: use um numero inteiro de segundos de 1 a %u",
                           nome, valor, BANCO_LIMITE_MAX_S);
        (chave->valor == Valor::conexao   ? opcoes->conexao_s
         : chave->valor == Valor::escrita ? opcoes->escrita_s
                                          : opcoes->leitura_s) = static_cast<unsigned int>(n);
        return true;
    }
    return true;
}

bool ler_linhas(OpcoesDoBanco *opcoes, FILE *arquivo)
{
    char buffer[LINHA_MAX];
    bool no_grupo = false;  // the lines below belong to a group the library reads
    bool em_grupo = false;  // a group has begun
    for (int linha = 1; fgets(buffer, sizeof buffer, arquivo) != nullptr; linha++) {
        if (strchr(buffer, '\n') == nullptr && !feof(arquivo))
            return recusar(opcoes, linha, "linha com mais de %d caracteres", LINHA_MAX - 2);
        char *texto = aparar(buffer);
        if (texto[0] == '\0' || texto[0] == '#' || texto[0] == ';')
            continue;
        if (texto[0] == '!')
            return recusar(opcoes, linha, "%s: o arquivo deve conter tudo, sem !include", texto);
        if (texto[0] == '[') {
            size_t n = strlen(texto);
            if (texto[n - 1] != ']')
                return recusar(opcoes, linha, "grupo sem ']': %s", texto);
            texto[n - 1] = '\0';
            em_grupo = true;
            no_grupo = false;
            for (const char *grupo : GRUPOS)
                no_grupo = no_grupo || strcmp(texto + 1, grupo) == 0;
            if (!no_grupo)
                return recusar(opcoes, linha,
                               "grupo [%s] nao e lido (use [teclado]; [client] vale para todo "
                               "cliente)", texto + 1);
            continue;
        }
        if (!em_grupo)
            return recusar(opcoes, linha, "'%s' fora de um grupo (comece com [teclado])", texto);
        if (no_grupo && !conferir_chave(opcoes, linha, texto))
            return false;
    }
    if (ferror(arquivo))
        return recusar(opcoes, 0, "nao pode ser lido: %s", strerror(errno));
    return true;
}

} // namespace

bool ler_opcoes_do_banco(OpcoesDoBanco *opcoes)
{
    opcoes->conexao_s = BANCO_LIMITE_CONEXAO_S;
    opcoes->escrita_s = BANCO_LIMITE_ESCRITA_S;
    opcoes->leitura_s = BANCO_LIMITE_LEITURA_S;
    opcoes->hosts[0] = '\0';
    opcoes->tls = false;
    opcoes->erro[0] = '\0';
    opcoes->gpio_chip[0] = opcoes->gpio_linhas[0] = '\0';
    const char *escolhido = getenv("TECLADO_CONFIG");
    bool padrao = escolhido == nullptr || escolhido[0] == '\0';
    opcoes->arquivo = padrao ? BANCO_ARQUIVO : escolhido;

    FILE *arquivo = fopen(opcoes->arquivo, "re");
    if (arquivo == nullptr) {
        // Only the usual place may be empty: a file named on purpose
        // that is not there is a mistake.
        if (errno == ENOENT && padrao) {
            opcoes->arquivo = nullptr;
            return true;
        }
        return recusar(opcoes, 0, "nao pode ser lido: %s", strerror(errno));
    }
    bool certo = ler_linhas(opcoes, arquivo);
    fclose(arquivo);
    return certo;
}

bool conferir_opcoes_do_banco()
{
    OpcoesDoBanco opcoes;
    if (ler_opcoes_do_banco(&opcoes))
        return true;
    reclamar("%s", opcoes.erro);
    return false;
}

bool ler_opcoes_do_gpio(char *chip, char *linhas)
{
    OpcoesDoBanco opcoes;
    if (!ler_opcoes_do_banco(&opcoes)) {
        reclamar("%s", opcoes.erro);
        return false;
    }
    strcpy(chip, opcoes.gpio_chip);
    strcpy(linhas, opcoes.gpio_linhas);
    return true;
}
