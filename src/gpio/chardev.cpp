// GPIO on the board through the Linux GPIO character device
// (/dev/gpiochip*), with the kernel's v2 line interface (kernel 5.10 or
// newer) called directly rather than through libgpiod: libgpiod's 1.x and
// 2.x releases have different APIs and a board's system may have either
// (Debian 12 has 1.6, Debian 13 has 2.x), while the kernel's interface is
// the same under both; and libgpiod 1.6 looks in sysfs before it opens a
// chip, which a test double of the device at the system-call level cannot
// answer.
//
// Each pin is a line request of its own, claimed by wiringPiSetup() and
// held until the process ends: no other program can drive a keypad line
// while teclado scans, and a failure concerns one named pin.
//
// The chips are gathered here and the lines looked for among them by
// procura.cpp, on the chip and lines the option file names if it does. A
// line that fails once the scan runs ends the program with status 1.
//
// An idle keypad is waited for in the kernel: the columns' lines report
// rising edges from the first wait on, and teclado sleeps in poll()
// (esperarentrada), looking at the levels itself now and then for a chip
// whose edges never come. The edges a scan raises (a held key, at every visit of
// its row) are dropped when the next wait begins: turning the reports off
// and on around each scan cost one reconfiguration per column at every
// wake, milliseconds on a slow chip before the first row was read.
#include "gpio.h"
#include "procura.h"

#include "common/reclamar.h"
#include "mapa_do_teclado.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

static_assert(NOME_MAX == GPIO_MAX_NAME_SIZE, "the lookup's names are the kernel's");

// Pull never set on the pin: the line's bias is left as the board has it.
constexpr int SEM_PUXADA = -1;

// The state each pin's line is claimed in: rows driven low and columns
// pulled down from the first moment, so between the claim and the pin
// set-up no row floats and no column reads noise.
struct pedido_inicial {
    int modo;
    int puxada;
};
#define COMO_COLUNA(pino, bcm, nome, outro_nome) {INPUT, PUD_DOWN},
#define COMO_LINHA(pino, bcm, nome, outro_nome) {OUTPUT, SEM_PUXADA},
const pedido_inicial inicial[PINOS] = {FIOS_DO_TECLADO(COMO_COLUNA, COMO_LINHA)};

const char *const CONSUMIDOR = "teclado";

// Every chip there, and the names of their lines, for the lookup. The
// names of all chips share one pool: past it, a chip's further lines count
// as unnamed (a Pi 5 uses 167 of them, its linked gpiochip4 included).
constexpr unsigned int NOMES_DAS_LINHAS_MAX = 2048;
chip_gpio chips[CHIPS_MAX];
int num_chips;
char nomes_das_linhas[NOMES_DAS_LINHAS_MAX][NOME_MAX + 1];
bool linhas_usadas[NOMES_DAS_LINHAS_MAX];

// The option file's choice, kept from gpio_escolher() for wiringPiSetup().
constexpr int ESCOLHA_MAX = 256;
char chip_escolhido[ESCOLHA_MAX];
char linhas_escolhidas[ESCOLHA_MAX];

// Where the lookup found the lines, or why it did not.
linhas_do_teclado linhas;

int fd_linha[PINOS] = {-1, -1, -1, -1, -1, -1, -1, -1};
int modo[PINOS];
int puxada[PINOS];
int nivel[PINOS];
bool com_borda[PINOS]; // reporting rising edges
// How long a wait for a key goes without an edge before it reads the
// columns' levels itself: seldom, while the chip's edges are trusted (an
// idle keypad then costs one reading in two seconds); often, once a key
// was found closed with no edge (a chip whose interrupt never comes: an
// expander with its interrupt line not wired, QEMU's Raspberry Pi), so
// that on such a chip only the first key is seen late.
constexpr int ESPERA_SEM_BORDA_MS = 2000;
constexpr int ESPERA_CHIP_SEM_BORDAS_MS = 100;
bool chip_sem_bordas;

bool pino_valido(int pin) { return pin >= 0 && pin < PINOS; }

bool sem_permissao(int erro) { return erro == EACCES || erro == EPERM; }

// The errors a GPIO device gives, by the names the kernel's documentation
// uses. glibc's strerrorname_np() would do, but it came with glibc 2.32, and
// a board may run a system on Debian 11, whose glibc is 2.31.
struct erro_nomeado {
    int erro;
    const char *nome;
};
const erro_nomeado erros_nomeados[] = {
    {EACCES, "EACCES"}, {EPERM, "EPERM"},   {EBUSY, "EBUSY"},   {ENOENT, "ENOENT"},
    {ENODEV, "ENODEV"}, {ENXIO, "ENXIO"},   {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"},
    {EIO, "EIO"},       {EMFILE, "EMFILE"}, {ENFILE, "ENFILE"}, {ENOMEM, "ENOMEM"},
};

const char *nome_do_erro(int erro)
{
    for (const erro_nomeado &e : erros_nomeados)
        if (e.erro == erro)
            return e.nome;
    return strerror(erro);
}

int abrir_chip(int chip)
{
    char caminho[32];
    snprintf(caminho, sizeof caminho, "/dev/gpiochip%d", chip);
    return open(caminho, O_RDWR | O_CLOEXEC);
}

// What the kernel says of one chip, open as fd, and of its lines.
void ler_chip(int fd, chip_gpio *c, unsigned int *nomes_usados)
{
    gpiochip_info info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        c->erro = errno;
        return;
    }
    c->linhas = info.lines;
    snprintf(c->nome, sizeof c->nome, "%.*s", static_cast<int>(sizeof info.name), info.name);
    snprintf(c->rotulo, sizeof c->rotulo, "%.*s", static_cast<int>(sizeof info.label), info.label);
    c->nomes = &nomes_das_linhas[*nomes_usados];
    c->usadas = &linhas_usadas[*nomes_usados];
    for (unsigned int offset = 0; offset < info.lines && *nomes_usados < NOMES_DAS_LINHAS_MAX;
         offset++) {
        gpio_v2_line_info linha;
        memset(&linha, 0, sizeof linha);
        linha.offset = offset;
        if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &linha) < 0) {
            c->erro_nos_nomes = errno;
            return;
        }
        linhas_usadas[*nomes_usados] = (linha.flags & GPIO_V2_LINE_FLAG_USED) != 0;
        snprintf(nomes_das_linhas[(*nomes_usados)++], NOME_MAX + 1, "%.*s",
                 static_cast<int>(sizeof linha.name), linha.name);
        c->nomes_lidos++;
    }
}

// Every /dev/gpiochipN there, in the order of N.
void reunir_chips()
{
    num_chips = 0;
    unsigned int nomes_usados = 0;
    for (int numero = 0; numero < CHIPS_MAX; numero++) {
        int fd = abrir_chip(numero);
        if (fd < 0 && errno == ENOENT)
            continue;
        chip_gpio &c = chips[num_chips++];
        memset(&c, 0, sizeof c);
        c.numero = numero;
        if (fd < 0) {
            c.erro = errno;
            continue;
        }
        ler_chip(fd, &c, &nomes_usados);
        close(fd);
    }
}

// The line's configuration as the pin's mode, pull and level say.
void montar_config(int pin, gpio_v2_line_config *config)
{
    memset(config, 0, sizeof *config);
    config->flags = modo[pin] == OUTPUT ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    if (puxada[pin] == PUD_OFF)
        config->flags |= GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    else if (puxada[pin] == PUD_DOWN)
        config->flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;
    else if (puxada[pin] == PUD_UP)
        config->flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    if (com_borda[pin] && modo[pin] == INPUT)
        config->flags |= GPIO_V2_LINE_FLAG_EDGE_RISING;
    if (modo[pin] == OUTPUT) {
        // An output keeps the level last written to it: a change of mode or
        // pull must not move a row line (wiringPi's pinMode leaves it too).
        config->num_attrs = 1;
        config->attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        config->attrs[0].attr.values = nivel[pin] == HIGH ? 1 : 0;
        config->attrs[0].mask = 1;
    }
}

// Names the pin at fault, by both its numbers, before the message.
__attribute__((format(printf, 2, 3))) void reclamar_do_pino(int pin, const char *formato, ...)
{
    char assunto[NOME_MAX + 32]; // room for any int and a line's name
    const char *item = linhas.nomes[pin];
    if (item[0] == '\0')
        snprintf(assunto, sizeof assunto, "pino %d (GPIO%u)", pin, linhas_dos_pinos[pin].bcm);
    else if (strspn(item, "0123456789") == strlen(item))
        snprintf(assunto, sizeof assunto, "pino %d (linha %.*s)", pin, NOME_MAX, item);
    else
        snprintf(assunto, sizeof assunto, "pino %d (%.*s)", pin, NOME_MAX, item);
    va_list argumentos;
    va_start(argumentos, formato);
    reclamar_sobre(assunto, formato, argumentos);
    va_end(argumentos);
}

// Once the scan runs, a line that fails (driver unbound, device gone) would
// leave it blind while the service looks healthy: say so and exit, so the
// service manager restarts the program.
[[noreturn]] void perder_linha(int pin, const char *acao, int erro)
{
    reclamar_do_pino(
        pin,
        "a linha %u de /dev/gpiochip%d falhou ao %s (%s); sem ela o teclado nao e lido, "
        "o programa termina",
        linhas.offset[pin], linhas.chip, acao, nome_do_erro(erro));
    exit(1);
}

void reconfigurar(int pin)
{
    gpio_v2_line_config config;
    montar_config(pin, &config);
    if (ioctl(fd_linha[pin], GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) < 0)
        perder_linha(pin, "configurar", errno);
}

// Claims the pin's line; returns 0, or the errno of what failed.
int requisitar(int pin)
{
    int chip = abrir_chip(linhas.chip);
    if (chip < 0)
        return errno;
    gpio_v2_line_request pedido;
    memset(&pedido, 0, sizeof pedido);
    pedido.offsets[0] = linhas.offset[pin];
    pedido.num_lines = 1;
    snprintf(pedido.consumer, sizeof pedido.consumer, "%s", CONSUMIDOR);
    montar_config(pin, &pedido.config);
    int erro = ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &pedido) < 0 ? errno : 0;
    close(chip);
    if (erro == 0)
        fd_linha[pin] = pedido.fd;
    return erro;
}

void liberar()
{
    for (int pin = 0; pin < PINOS; pin++) {
        if (fd_linha[pin] >= 0)
            close(fd_linha[pin]);
        fd_linha[pin] = -1;
    }
}

const char *const PRECISA_DE_ACESSO =
    "o usuario precisa de acesso a /dev/gpiochip* (por exemplo, o grupo gpio)";

// Appends to texto (of tamanho bytes) while it fits; false once it did not.
__attribute__((format(printf, 3, 4))) bool anexar(char *texto, size_t tamanho, const char *fmt, ...)
{
    size_t usado = strlen(texto);
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(texto + usado, tamanho - usado, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= tamanho - usado) {
        texto[usado] = '\0';
        return false;
    }
    return true;
}

// The chips read, as "gpiochipN "LABEL" (N linhas), ...", into achados.
void listar_chips(char *achados, size_t tamanho)
{
    achados[0] = '\0';
    for (int v = 0; v < linhas.num_vistos; v++) {
        const chip_gpio &c = chips[linhas.vistos[v]];
        if (!anexar(achados, tamanho, "%sgpiochip%d \"%s\" (%u linhas)", v > 0 ? ", " : "",
                    c.numero, c.rotulo, c.linhas)) {
            anexar(achados, tamanho, ", ...");
            break;
        }
    }
}

const char *rotulo_do_chip(int numero)
{
    for (int i = 0; i < num_chips; i++)
        if (chips[i].numero == numero)
            return chips[i].rotulo;
    return "";
}

void explicar_linhas_nao_achadas()
{
    int pin = linhas.pino;
    int chip = linhas.chip;
    char achados[512];
    listar_chips(achados, sizeof achados);
    switch (linhas.resultado) {
    case resultado_da_procura::sem_permissao:
        reclamar_do_pino(pin, "sem permissao para abrir /dev/gpiochip%d (%s); %s", chip,
                         nome_do_erro(linhas.erro), PRECISA_DE_ACESSO);
        return;
    case resultado_da_procura::chip_ilegivel:
        reclamar_do_pino(pin, "nao foi possivel ler /dev/gpiochip%d (%s)", chip,
                         nome_do_erro(linhas.erro));
        return;
    case resultado_da_procura::nenhum_chip:
        reclamar_do_pino(pin, "nenhum /dev/gpiochip* neste sistema (o kernel nao oferece GPIO por "
                              "dispositivo de caracteres)");
        return;
    case resultado_da_procura::chip_ausente:
        reclamar("gpio-chip=%s: nenhum chip GPIO com esse caminho, nome ou rotulo; chips vistos: %s",
                 chip_escolhido, achados);
        return;
    case resultado_da_procura::chip_ambiguo:
        reclamar("gpio-chip=%s: rotulo de gpiochip%d e de gpiochip%d; diga o nome (gpiochipN)",
                 chip_escolhido, chip, linhas.outro);
        return;
    case resultado_da_procura::linhas_invalidas:
        reclamar("gpio-lines=%s: use oito nomes ou numeros de linha, separados por virgula: as "
                 "colunas 0 a 3, depois as linhas 0 a 3 do teclado", linhas_escolhidas);
        return;
    case resultado_da_procura::numero_sem_chip:
        reclamar_do_pino(pin, "uma linha dada pelo numero pede o chip em gpio-chip");
        return;
    case resultado_da_procura::poucas_livres:
        reclamar("gpiochip%d \"%s\" tem %d linhas livres; o teclado precisa de 8", chip,
                 rotulo_do_chip(chip), linhas.livres);
        return;
    case resultado_da_procura::linha_ausente:
        if (chip >= 0)
            reclamar_do_pino(pin, "nao ha essa linha em gpiochip%d \"%s\"", chip,
                             rotulo_do_chip(chip));
        else
            reclamar_do_pino(pin, "nenhum chip GPIO tem as oito linhas de gpio-lines; chips "
                                  "vistos: %s", achados);
        return;
    case resultado_da_procura::linha_repetida:
        reclamar_do_pino(pin, "a mesma linha %u de gpiochip%d que o pino %d; cada pino precisa "
                              "de uma linha sua", linhas.offset[pin], chip, linhas.outro);
        return;
    case resultado_da_procura::achadas:
    case resultado_da_procura::linha_em_uso:
    case resultado_da_procura::nenhum_chip_da_placa:
        break;
    }
    // What was looked for and what there is, so that a board of a kind not
    // known here can be told apart from a missing driver.
    char nomes[64] = "";
    for (int n = 0; n < NOMES_MAX && linhas_dos_pinos[pin].nomes[n] != nullptr; n++)
        anexar(nomes, sizeof nomes, "%s%s", n > 0 ? " ou " : "", linhas_dos_pinos[pin].nomes[n]);
    reclamar_do_pino(
        pin,
        "nenhum chip GPIO da placa (rotulo %s, %s ou %s) nem outro chip com as oito linhas "
        "do teclado pelo nome (faltou %s); chips vistos: %s",
        chips_da_soc[0], chips_da_soc[1], chips_da_soc[2], nomes, achados);
}

// Who holds a line, as the kernel reports it; empty if it cannot tell.
void consumidor_da_linha(int pin, char *consumidor, size_t tamanho)
{
    consumidor[0] = '\0';
    int fd = abrir_chip(linhas.chip);
    if (fd < 0)
        return;
    gpio_v2_line_info info;
    memset(&info, 0, sizeof info);
    info.offset = linhas.offset[pin];
    if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && (info.flags & GPIO_V2_LINE_FLAG_USED))
        snprintf(consumidor, tamanho, "%.*s", static_cast<int>(sizeof info.consumer), info.consumer);
    close(fd);
}

void explicar_pedido_recusado(int pin, int erro)
{
    int chip = linhas.chip;
    char consumidor[GPIO_MAX_NAME_SIZE + 1] = "";
    if (erro == EBUSY)
        consumidor_da_linha(pin, consumidor, sizeof consumidor);
    if (erro == EBUSY && consumidor[0] != '\0')
        reclamar_do_pino(
            pin, "linha ja em uso por \"%s\" em /dev/gpiochip%d (EBUSY); pare o programa que a usa",
            consumidor, chip);
    else if (erro == EBUSY)
        reclamar_do_pino(
            pin, "linha ja em uso em /dev/gpiochip%d (EBUSY); pare o programa que a usa", chip);
    else if (sem_permissao(erro))
        reclamar_do_pino(pin, "sem permissao para usar a linha em /dev/gpiochip%d (%s); %s", chip,
                         nome_do_erro(erro), PRECISA_DE_ACESSO);
    else
        reclamar_do_pino(pin, "falha ao pedir a linha %u de /dev/gpiochip%d (%s)",
                         linhas.offset[pin], chip, nome_do_erro(erro));
}

// Edge reports on every column's line, from the first wait on.
void reportar_bordas()
{
    for (int pin = 0; pin < PINOS; pin++)
        if (modo[pin] == INPUT && !com_borda[pin]) {
            com_borda[pin] = true;
            reconfigurar(pin);
        }
}

// Reads and drops the edges the pin's line has queued: they belong to a
// wait that is over.
void descartar_bordas(int pin)
{
    gpio_v2_line_event eventos[16];
    pollfd p = {fd_linha[pin], POLLIN, 0};
    while (poll(&p, 1, 0) > 0) {
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            perder_linha(pin, "esperar", ENODEV);
        if (read(fd_linha[pin], eventos, sizeof eventos) < 0 && errno != EINTR)
            perder_linha(pin, "ler", errno);
    }
}

} // namespace

extern "C" {

int wiringPiSetup(void)
{
    liberar();
    for (int pin = 0; pin < PINOS; pin++) {
        modo[pin] = inicial[pin].modo;
        puxada[pin] = inicial[pin].puxada;
        nivel[pin] = LOW;
        com_borda[pin] = false;
    }
    reunir_chips();
    linhas = procurar_linhas(chips, num_chips, {chip_escolhido, linhas_escolhidas});
    if (linhas.resultado == resultado_da_procura::linha_em_uso) {
        explicar_pedido_recusado(linhas.pino, EBUSY);
        return -1;
    }
    if (linhas.resultado != resultado_da_procura::achadas) {
        explicar_linhas_nao_achadas();
        return -1;
    }
    for (int pin = 0; pin < PINOS; pin++) {
        int erro = requisitar(pin);
        if (erro != 0) {
            explicar_pedido_recusado(pin, erro);
            liberar();
            return -1;
        }
    }
    return 0;
}

void pinMode(int pin, int mode)
{
    if (!pino_valido(pin) || (mode != INPUT && mode != OUTPUT))
        return;
    modo[pin] = mode;
    reconfigurar(pin);
}

void pullUpDnControl(int pin, int pud)
{
    if (!pino_valido(pin) || (pud != PUD_OFF && pud != PUD_DOWN && pud != PUD_UP))
        return;
    puxada[pin] = pud;
    reconfigurar(pin);
}

void digitalWrite(int pin, int value)
{
    if (!pino_valido(pin))
        return;
    int novo = value == LOW ? LOW : HIGH;
    // An output keeps the level it was last given, here or in its
    // configuration: giving it again would only cost a call into the
    // kernel, and a pass starts by giving its rows the levels the wait
    // left them at.
    if (modo[pin] == OUTPUT && nivel[pin] == novo)
        return;
    nivel[pin] = novo;
    gpio_v2_line_values valores;
    memset(&valores, 0, sizeof valores);
    valores.bits = nivel[pin] == HIGH ? 1 : 0;
    valores.mask = 1;
    if (ioctl(fd_linha[pin], GPIO_V2_LINE_SET_VALUES_IOCTL, &valores) < 0)
        perder_linha(pin, "escrever", errno);
}

int digitalRead(int pin)
{
    if (!pino_valido(pin))
        return -1;
    gpio_v2_line_values valores;
    memset(&valores, 0, sizeof valores);
    valores.mask = 1;
    if (ioctl(fd_linha[pin], GPIO_V2_LINE_GET_VALUES_IOCTL, &valores) < 0)
        perder_linha(pin, "ler", errno);
    return (valores.bits & 1) != 0 ? HIGH : LOW;
}

void delay(unsigned int ms)
{
    // An absolute deadline: a signal that cuts the sleep short does not
    // stretch the pause when it is resumed.
    timespec fim;
    clock_gettime(CLOCK_MONOTONIC, &fim);
    fim.tv_sec += ms / 1000;
    fim.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (fim.tv_nsec >= 1000000000L) {
        fim.tv_sec++;
        fim.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &fim, nullptr) == EINTR) {
    }
}

} // extern "C"

int gpio_escolher(const char *chip, const char *linhas_do_arquivo)
{
    if (strlen(chip) >= sizeof chip_escolhido ||
        strlen(linhas_do_arquivo) >= sizeof linhas_escolhidas) {
        reclamar("gpio-chip ou gpio-lines com mais de %d caracteres", ESCOLHA_MAX - 1);
        return -1;
    }
    strcpy(chip_escolhido, chip);
    strcpy(linhas_escolhidas, linhas_do_arquivo);
    return 0;
}

void esperarentrada(void)
{
    // The queued edges belong to the scan that is over. Then the levels:
    // a key that closes after they are read makes an edge, one closed
    // before reads HIGH (and, held across the wait's start, makes no edge).
    reportar_bordas();
    pollfd colunas[PINOS];
    int n = 0;
    bool alta = false;
    for (int pin = 0; pin < PINOS; pin++)
        if (modo[pin] == INPUT) {
            descartar_bordas(pin);
            colunas[n++] = pollfd{fd_linha[pin], POLLIN, 0};
            alta = alta || digitalRead(pin) == HIGH;
        }
    while (!alta) {
        int prontas = poll(colunas, n, chip_sem_bordas ? ESPERA_CHIP_SEM_BORDAS_MS
                                                       : ESPERA_SEM_BORDA_MS);
        if (prontas < 0 && errno != EINTR)
            perder_linha(0, "esperar", errno);
        for (int i = 0; i < n && prontas > 0; i++)
            alta = alta || colunas[i].revents != 0;
        if (prontas != 0)
            continue;
        for (int pin = 0; pin < PINOS; pin++)
            if (modo[pin] == INPUT)
                alta = alta || digitalRead(pin) == HIGH;
        // Closed with no edge queued, even now: the chip gives none.
        if (alta && poll(colunas, n, 0) == 0)
            chip_sem_bordas = true;
    }
}
