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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a key's value must be.
enum class Valor {
    texto,     // anything
    nenhum,    // none, or any (the library ignores it)
    booleano,  // 0 or 1: the library reads "true", "yes" and a key alone as 0
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
// name for connect-timeout; each tls-* key but tls-version is the
// library's other name for an ssl-* one (tls-verify-peer for
// ssl-verify-server-cert). Every ssl-* and tls-* key makes the file one
// that asks for TLS.
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
    {"ssl-ca", Valor::texto},
    {"ssl-capath", Valor::texto},
    {"ssl-cert", Valor::texto},
    {"ssl-key", Valor::texto},
    {"ssl-crl", Valor::texto},
    {"ssl-crlpath", Valor::texto},
    {"ssl-cipher", Valor::texto},
    {"ssl-passphrase", Valor::texto},
    {"ssl-fp", Valor::texto},
    {"ssl-fp-list", Valor::texto},
    {"ssl-fplist", Valor::texto},
    {"ssl-verify-server-cert", Valor::booleano},
    {"ssl-enforce", Valor::booleano},
    {"tls-ca", Valor::texto},
    {"tls-capath", Valor::texto},
    {"tls-cert", Valor::texto},
    {"tls-key", Valor::texto},
    {"tls-crl", Valor::texto},
    {"tls-crlpath", Valor::texto},
    {"tls-cipher", Valor::texto},
    {"tls-passphrase", Valor::texto},
    {"tls-fp", Valor::texto},
    {"tls-fplist", Valor::texto},
    {"tls-verify-peer", Valor::booleano},
    {"tls-enforce", Valor::booleano},
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

// A host list: elements separated by commas, each one separar_host takes.
bool conferir_hosts(OpcoesDoBanco *opcoes, int linha, const char *valor)
{
    if (strlen(valor) >= sizeof opcoes->hosts)
        return recusar(opcoes, linha, "host com mais de %d caracteres", OPCOES_HOSTS_MAX - 1);
    strcpy(opcoes->hosts, valor);
    for (const char *elemento = valor;; elemento++) {
        size_t tamanho = strcspn(elemento, ",");
        HostDaLista host;
        const char *motivo = separar_host(elemento, tamanho, &host);
        if (motivo != nullptr)
            return recusar(opcoes, linha, "host '%.*s': %s", static_cast<int>(tamanho), elemento,
                           motivo);
        elemento += tamanho;
        if (*elemento == '\0')
            return true;
    }
}

// The authentication plugins that send the password as it is (PAM's
// dialog, and mysql_clear_password): never over a link in clear.
bool autenticacao_em_claro(const char *lista)
{
    return strstr(lista, "mysql_clear_password") != nullptr || strstr(lista, "dialog") != nullptr;
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

    bool tls = strncmp(nome, "ssl-", 4) == 0 || strncmp(nome, "tls-", 4) == 0;
    opcoes->tls = opcoes->tls || tls;
    if ((strcmp(nome, "password") == 0 || strstr(nome, "passphrase") != nullptr) &&
        valor[0] != '\0')
        opcoes->senha = true;
    unsigned long n = 0;
    switch (chave->valor) {
    case Valor::texto:
        if (strcmp(nome, "host") == 0)
            return conferir_hosts(opcoes, linha, valor);
        if ((strcmp(nome, "restricted-auth") == 0 || strcmp(nome, "default-auth") == 0) &&
            autenticacao_em_claro(valor))
            return recusar(opcoes, linha, "%s=%s: teclado nunca manda a senha como ela e "
                           "(mysql_clear_password, dialog)", nome, valor);
        return true;
    case Valor::nenhum:
        return true;
    case Valor::gpio:
        return guardar_gpio(opcoes, linha, nome, valor);
    case Valor::booleano:
        if (tls && strcmp(valor, "0") == 0)
            return recusar(opcoes, linha, "%s=0: com TLS, teclado exige TLS e o certificado do "
                           "servidor conferido (sem isso o cliente entraria sem cifra num "
                           "servidor sem TLS)", nome);
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
    long lidos = 0;
    for (int linha = 1; fgets(buffer, sizeof buffer, arquivo) != nullptr; linha++) {
        // The file may have grown since its size was checked.
        lidos += static_cast<long>(strlen(buffer));
        if (lidos > OPCOES_TAMANHO_MAX)
            return recusar(opcoes, linha, "mais que o limite de %ld KiB",
                           OPCOES_TAMANHO_MAX / 1024);
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

int contar_hosts(const OpcoesDoBanco &opcoes)
{
    int hosts = 1;
    for (const char *c = opcoes.hosts; *c != '\0'; c++)
        hosts += *c == ',';
    return hosts;
}

void host_da_lista(const OpcoesDoBanco &opcoes, int i, HostDaLista *host)
{
    const char *elemento = opcoes.hosts[0] != '\0' ? opcoes.hosts : BANCO_HOST;
    for (; i > 0 && *elemento != '\0'; i--) {
        elemento += strcspn(elemento, ",");
        elemento += *elemento == ',';
    }
    separar_host(elemento, strcspn(elemento, ","), host);
}

const char *separar_host(const char *elemento, size_t tamanho, HostDaLista *host)
{
    host->porta = 0;
    if (tamanho >= sizeof host->nome)
        return "longo demais";
    char texto[OPCOES_HOSTS_MAX];
    memcpy(texto, elemento, tamanho);
    texto[tamanho] = '\0';
    char *nome = aparar(texto);
    const char *porta = nullptr;
    if (nome[0] == '[') {
        char *fecha = strchr(nome, ']');
        if (fecha == nullptr)
            return "falta o ']' do endereco";
        if (fecha[1] != '\0' && fecha[1] != ':')
            return "depois do ']' so cabe :porta";
        *fecha = '\0';
        porta = fecha[1] == ':' ? fecha + 2 : nullptr;
        nome++;
    } else {
        char *dois_pontos = strchr(nome, ':');
        // Two colons or more: an IPv6 address, which takes its port only
        // in brackets.
        if (dois_pontos != nullptr && strchr(dois_pontos + 1, ':') == nullptr) {
            *dois_pontos = '\0';
            porta = dois_pontos + 1;
        }
    }
    if (nome[0] == '\0')
        return "host vazio";
    unsigned long n = 0;
    if (porta != nullptr && (!numero(porta, 65535, &n) || n == 0))
        return "porta invalida (de 1 a 65535)";
    strcpy(host->nome, nome);
    host->porta = static_cast<unsigned int>(n);
    if (host_local(*host) && host->porta != 0)
        return "localhost e o socket local, onde a porta nao vale: para TCP, use 127.0.0.1:porta";
    return nullptr;
}

bool host_local(const HostDaLista &host)
{
    return host.nome[0] == '\0' || strcmp(host.nome, "localhost") == 0;
}

bool ler_opcoes_do_banco(OpcoesDoBanco *opcoes)
{
    opcoes->conexao_s = BANCO_LIMITE_CONEXAO_S;
    opcoes->escrita_s = BANCO_LIMITE_ESCRITA_S;
    opcoes->leitura_s = BANCO_LIMITE_LEITURA_S;
    opcoes->hosts[0] = '\0';
    opcoes->tls = false;
    opcoes->senha = false;
    opcoes->erro[0] = '\0';
    opcoes->gpio_chip[0] = opcoes->gpio_linhas[0] = '\0';
    const char *escolhido = getenv("TECLADO_CONFIG");
    bool padrao = escolhido == nullptr || escolhido[0] == '\0';
    opcoes->arquivo = padrao ? BANCO_ARQUIVO : escolhido;

    // Not blocking: a FIFO's open would wait for a writer.
    int descritor = open(opcoes->arquivo, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descritor < 0) {
        // Only the usual place may be empty: a file named on purpose
        // that is not there is a mistake.
        if (errno == ENOENT && padrao) {
            opcoes->arquivo = nullptr;
            return true;
        }
        return recusar(opcoes, 0, "nao pode ser lido: %s", strerror(errno));
    }
    struct stat estado;
    if (fstat(descritor, &estado) != 0) {
        int erro = errno;
        close(descritor);
        return recusar(opcoes, 0, "nao pode ser lido: %s", strerror(erro));
    }
    if (!S_ISREG(estado.st_mode)) {
        close(descritor);
        return recusar(opcoes, 0, "nao pode ser lido: nao e um arquivo comum (%s)",
                       S_ISDIR(estado.st_mode)    ? "uma pasta"
                       : S_ISFIFO(estado.st_mode) ? "um FIFO"
                       : S_ISSOCK(estado.st_mode) ? "um socket"
                                                  : "um dispositivo");
    }
    if (estado.st_size > OPCOES_TAMANHO_MAX) {
        close(descritor);
        return recusar(opcoes, 0, "%lld bytes, mais que o limite de %ld KiB",
                       static_cast<long long>(estado.st_size), OPCOES_TAMANHO_MAX / 1024);
    }
    FILE *arquivo = fdopen(descritor, "r");
    if (arquivo == nullptr) {
        close(descritor);
        return recusar(opcoes, 0, "nao pode ser lido: %s", strerror(errno));
    }
    bool certo = ler_linhas(opcoes, arquivo);
    fclose(arquivo);
    if (!certo)
        return false;
    // As ssh treats a private key: the file says where the password goes.
    unsigned int modo = estado.st_mode & 07777;
    if (estado.st_uid != 0 && estado.st_uid != geteuid())
        return recusar(opcoes, 0, "pertence a outro usuario (uid %u), que poderia mudar o "
                       "servidor ou a conta: chown %u %s", static_cast<unsigned int>(estado.st_uid),
                       static_cast<unsigned int>(geteuid()), opcoes->arquivo);
    if (modo & (S_IWGRP | S_IWOTH))
        return recusar(opcoes, 0, "outros podem altera-lo (modo %04o): chmod go-w %s", modo,
                       opcoes->arquivo);
    if (opcoes->senha && (modo & (S_IRGRP | S_IROTH | S_IXGRP | S_IXOTH)))
        return recusar(opcoes, 0, "tem senha e outros podem le-lo (modo %04o): chmod go-rwx %s",
                       modo, opcoes->arquivo);
    return true;
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
