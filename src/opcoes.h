// The database settings' option file: the MariaDB client's own format,
// read by the client library itself at every connection (group [teclado],
// besides the [client] groups it always reads), and checked here first,
// since the library skips without a word a key it does not know or a
// value it cannot use.
#pragma once

// A host list (host=a,b) as long as this, with its terminator, at most.
constexpr int OPCOES_HOSTS_MAX = 256;
// gpio-chip and gpio-lines as long as this, with the terminator, at most.
constexpr int OPCOES_GPIO_MAX = 256;
// The longest explanation of a refused file, with its terminator.
constexpr int OPCOES_ERRO_MAX = 400;

struct OpcoesDoBanco {
    // The file to hand to the library, or nullptr when there is none.
    const char *arquivo;
    // The recording's time limits in seconds: the file's connect-timeout,
    // write-timeout and read-timeout, or the defaults of config.h.
    unsigned int conexao_s, escrita_s, leitura_s;
    // Whether the file asks for TLS (ssl-ca, ssl-verify-server-cert=1, ...).
    // Unless it also checks the server's certificate, the library would
    // then still log in in clear to a server without TLS; teclado has it
    // checked (ssl-verify-server-cert=0 is refused).
    bool tls;
    // The file's host value (one host or a comma-separated list), or "".
    char hosts[OPCOES_HOSTS_MAX];
    // The file's gpio-chip and gpio-lines values, or "": teclado's own
    // keys (the library skips them), for a board that is not a Pi.
    char gpio_chip[OPCOES_GPIO_MAX];
    char gpio_linhas[OPCOES_GPIO_MAX];
    // Why the file was refused: "<file>:<line>: <reason>" or "<file>: <reason>".
    char erro[OPCOES_ERRO_MAX];
};

// Reads the file TECLADO_CONFIG names, or else BANCO_ARQUIVO of config.h.
// Returns true with the settings in opcoes: no file at BANCO_ARQUIVO
// counts as an empty one. Returns false with opcoes->erro set when the
// file cannot be read (or TECLADO_CONFIG names none), or when a line is
// one the library would skip or misread: a group it does not read, a key
// it does not know, a number out of range, an !include (whose file would
// escape this check).
bool ler_opcoes_do_banco(OpcoesDoBanco *opcoes);

// The check at start: true if the file is usable, else one
// "teclado: <file>:<line>: ..." line on standard error and false.
bool conferir_opcoes_do_banco();

// The GPIO chip and lines the file names, read once at start (the lines
// are claimed once), into buffers of OPCOES_GPIO_MAX: "" where it names
// none. False, having said why on standard error, when the file is refused.
bool ler_opcoes_do_gpio(char *chip, char *linhas);
