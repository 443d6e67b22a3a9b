// The database settings' option file: the MariaDB client's own format,
// read by the client library itself at every connection (group [teclado],
// besides the [client] groups it always reads), and checked here first,
// since the library skips without a word a key it does not know or a
// value it cannot use.
#pragma once

#include <cstddef>

// A host list (host=a,b) as long as this, with its terminator, at most.
constexpr int OPCOES_HOSTS_MAX = 256;
// The largest option file taken: a real one is a few hundred bytes, and
// the file is read again at every event.
constexpr long OPCOES_TAMANHO_MAX = 64 * 1024;
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
    // Whether the file names any TLS setting (every ssl-* and tls-* key the
    // library reads). The library alone would then still log in in clear
    // to a server without TLS, or use TLS without checking the server's
    // certificate; teclado then requires TLS and the check (turning
    // either off in the file is refused).
    bool tls;
    // Whether the file holds a secret (password, ssl-passphrase): then
    // nobody but its owner may read it.
    bool senha;
    // The file's host value (one host or a comma-separated list), or "".
    char hosts[OPCOES_HOSTS_MAX];
    // The file's gpio-chip and gpio-lines values, or "": teclado's own
    // keys (the library skips them), for a board that is not a Pi.
    char gpio_chip[OPCOES_GPIO_MAX];
    char gpio_linhas[OPCOES_GPIO_MAX];
    // Why the file was refused: "<file>:<line>: <reason>" or "<file>: <reason>".
    char erro[OPCOES_ERRO_MAX];
};

// One server of a host list: the name or address, and the port (0 when
// the element names none, so that the file's port or the default holds).
struct HostDaLista {
    char nome[OPCOES_HOSTS_MAX];
    unsigned int porta;
};

// Splits one element of a host list, the tamanho characters at elemento:
// "name", "name:port", "[address]" or "[address]:port" (blanks around it
// are no part of it; an IPv6 address without brackets has no port).
// Returns nullptr with host filled, or why the element is refused: an
// empty name, a '[' without its ']', anything but ":port" after the ']',
// a port not from 1 to 65535, or "localhost:port", which the library
// would take for the local socket, whatever the port.
const char *separar_host(const char *elemento, size_t tamanho, HostDaLista *host);

// Whether the library reaches host through the local socket rather than TCP.
bool host_local(const HostDaLista &host);

// How many servers a connection may try: those of the file's host list,
// or one, BANCO_HOST of config.h, when the file names none.
int contar_hosts(const OpcoesDoBanco &opcoes);

// Server i (0 to contar_hosts - 1) of those, as separar_host splits it
// (the list was checked when the file was read).
void host_da_lista(const OpcoesDoBanco &opcoes, int i, HostDaLista *host);

// Reads the file TECLADO_CONFIG names, or else BANCO_ARQUIVO of config.h.
// Returns true with the settings in opcoes: no file at BANCO_ARQUIVO
// counts as an empty one. Returns false with opcoes->erro set when the
// file cannot be read (or TECLADO_CONFIG names none); when it is not a
// regular file (a FIFO would hold the program at every event) or is
// larger than OPCOES_TAMANHO_MAX; when others may write it, or may read it
// while it holds a password, or it belongs to another user (the reason
// then gives the chmod or chown to run); or when a line is one the library
// would skip or misread: a group it does not read, a key it does not know,
// a number out of range, a host list separar_host refuses, an !include
// (whose file would escape this check).
bool ler_opcoes_do_banco(OpcoesDoBanco *opcoes);

// The check at start: true if the file is usable, else one
// "teclado: <file>:<line>: ..." line on standard error and false.
bool conferir_opcoes_do_banco();

// The GPIO chip and lines the file names, read once at start (the lines
// are claimed once), into buffers of OPCOES_GPIO_MAX: "" where it names
// none. False, having said why on standard error, when the file is refused.
bool ler_opcoes_do_gpio(char *chip, char *linhas);
