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
// The header's lines are found by what identifies them: the SoC's GPIO chip
// by its label, whatever its gpiochipN number, and the BCM GPIO number as
// the line offset. Line names differ from board to board and serve only
// where no known chip is present. A line that fails once the scan runs
// ends the program with status 1.
#include "gpio.h"

#include "common/reclamar.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int PINOS = 8;

// Pull never set on the pin: the line's bias is left as the board has it.
constexpr int SEM_PUXADA = -1;

// Names a board's device tree may give one line; the rest of the slots empty.
constexpr int NOMES_MAX = 2;

// wiringPi pin -> the header line by its BCM GPIO number, which is its
// offset on the SoC's GPIO chip on every Raspberry Pi; and the state the
// line is claimed in: rows driven low and columns pulled down from the
// first moment, so between the claim and the pin set-up no row floats and
// no column reads noise. The names are only for a chip teclado does not
// know: they are documentation, and differ by board (Debian's trees call
// BCM 4 GPIO_GCLK on most boards and GPIO4 on the compute module I/O
// boards, BCM 27 CAM_GPIO0 on the first Model A).
struct pino_da_placa {
    unsigned int bcm;
    const char *nomes[NOMES_MAX];
    int modo;
    int puxada;
};
const pino_da_placa placa[PINOS] = {
    {17, {"GPIO17"}, INPUT, PUD_DOWN},
    {18, {"GPIO18"}, INPUT, PUD_DOWN},
    {27, {"GPIO27", "CAM_GPIO0"}, INPUT, PUD_DOWN},
    {22, {"GPIO22"}, INPUT, PUD_DOWN},
    {23, {"GPIO23"}, OUTPUT, SEM_PUXADA},
    {24, {"GPIO24"}, OUTPUT, SEM_PUXADA},
    {25, {"GPIO25"}, OUTPUT, SEM_PUXADA},
    {4, {"GPIO4", "GPIO_GCLK"}, OUTPUT, SEM_PUXADA},
};
constexpr unsigned int MAIOR_BCM = 27;

// The labels the kernel's drivers give the SoC's GPIO chip: Pi 1, 2, 3 and
// Zero; Pi 4, 400 and CM4; Pi 5 (the RP1, gpiochip0 from kernel 6.6.47 on,
// gpiochip4 before).
const char *const chips_da_soc[] = {"pinctrl-bcm2835", "pinctrl-bcm2711", "pinctrl-rp1"};

// Chip numbers tried. They are not dense (a Pi 5 on kernel 6.6.47 or newer
// has gpiochip0 and gpiochip10 to 13), so a missing number does not end
// the search.
constexpr int CHIPS_MAX = 64;

const char *const CONSUMIDOR = "teclado";

// The chips found, each once: on a Pi 5 /dev/gpiochip4 is a link to
// gpiochip0, and the kernel's name for the chip tells the two apart.
struct chip_visto {
    int numero;
    char nome[GPIO_MAX_NAME_SIZE + 1];
    char rotulo[GPIO_MAX_NAME_SIZE + 1];
    unsigned int linhas;
};
chip_visto vistos[CHIPS_MAX];
int num_vistos;

// The chip all eight lines are on, and each pin's offset there.
int chip_das_linhas = -1;
unsigned int offset_do_pino[PINOS];

// What kept a chip from being read, for when the lines are not found.
int chips_presentes;
int chip_recusado = -1;
int erro_do_chip;
// The pin that was missing on the chip that had the most of them by name.
int pino_que_faltou;

int fd_linha[PINOS] = {-1, -1, -1, -1, -1, -1, -1, -1};
int modo[PINOS];
int puxada[PINOS];
int nivel[PINOS];

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

void anotar_recusa(int chip, int erro)
{
    // A permission problem explains a missing line better than anything
    // else, so it is the one kept.
    if (chip_recusado < 0 || (sem_permissao(erro) && !sem_permissao(erro_do_chip))) {
        chip_recusado = chip;
        erro_do_chip = erro;
    }
}

bool rotulo_da_soc(const char *rotulo)
{
    for (const char *r : chips_da_soc)
        if (strcmp(rotulo, r) == 0)
            return true;
    return false;
}

// Notes every chip that can be read, each once.
void ver_chips()
{
    num_vistos = 0;
    chips_presentes = 0;
    chip_recusado = -1;
    erro_do_chip = 0;
    for (int chip = 0; chip < CHIPS_MAX; chip++) {
        int fd = abrir_chip(chip);
        if (fd < 0) {
            if (errno != ENOENT) {
                chips_presentes++;
                anotar_recusa(chip, errno);
            }
            continue;
        }
        chips_presentes++;
        gpiochip_info info;
        memset(&info, 0, sizeof info);
        int erro = ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0 ? errno : 0;
        close(fd);
        if (erro != 0) {
            anotar_recusa(chip, erro);
            continue;
        }
        bool repetido = false;
        for (int i = 0; i < num_vistos; i++)
            repetido |= strncmp(vistos[i].nome, info.name, sizeof info.name) == 0;
        if (repetido)
            continue;
        chip_visto &v = vistos[num_vistos++];
        v.numero = chip;
        v.linhas = info.lines;
        snprintf(v.nome, sizeof v.nome, "%.*s", static_cast<int>(sizeof info.name), info.name);
        snprintf(v.rotulo, sizeof v.rotulo, "%.*s", static_cast<int>(sizeof info.label), info.label);
    }
}

// Where no known chip is: the first chip that has all eight lines by name,
// each pin on the line with its most usual name. All eight on one chip,
// because another chip's line of the same name (the firmware's expander
// has a CAM_GPIO0) is not on the header.
void procurar_por_nome()
{
    int mais_achados = 0;
    pino_que_faltou = 0;
    for (int i = 0; i < num_vistos && chip_das_linhas < 0; i++) {
        int fd = abrir_chip(vistos[i].numero);
        if (fd < 0) {
            anotar_recusa(vistos[i].numero, errno);
            continue;
        }
        int ordem[PINOS]; // which of the pin's names was found; NOMES_MAX: none
        for (int &o : ordem)
            o = NOMES_MAX;
        for (unsigned int offset = 0; offset < vistos[i].linhas; offset++) {
            gpio_v2_line_info info;
            memset(&info, 0, sizeof info);
            info.offset = offset;
            if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0) {
                anotar_recusa(vistos[i].numero, errno);
                break;
            }
            for (int pin = 0; pin < PINOS; pin++)
                for (int n = 0; n < ordem[pin] && placa[pin].nomes[n] != nullptr; n++)
                    if (strncmp(info.name, placa[pin].nomes[n], sizeof info.name) == 0) {
                        ordem[pin] = n;
                        offset_do_pino[pin] = offset;
                    }
        }
        close(fd);
        int achados = 0;
        int faltou = -1;
        for (int pin = 0; pin < PINOS; pin++) {
            if (ordem[pin] < NOMES_MAX)
                achados++;
            else if (faltou < 0)
                faltou = pin;
        }
        if (faltou < 0)
            chip_das_linhas = vistos[i].numero;
        else if (achados > mais_achados) {
            mais_achados = achados;
            pino_que_faltou = faltou;
        }
    }
}

// Finds the chip of the header's lines: the SoC's by its label, else by the
// lines' names.
void procurar_linhas()
{
    chip_das_linhas = -1;
    ver_chips();
    for (int i = 0; i < num_vistos && chip_das_linhas < 0; i++)
        if (rotulo_da_soc(vistos[i].rotulo) && vistos[i].linhas > MAIOR_BCM) {
            chip_das_linhas = vistos[i].numero;
            for (int pin = 0; pin < PINOS; pin++)
                offset_do_pino[pin] = placa[pin].bcm;
        }
    if (chip_das_linhas < 0)
        procurar_por_nome();
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
    char assunto[40]; // room for any int and unsigned int
    snprintf(assunto, sizeof assunto, "pino %d (GPIO%u)", pin, placa[pin].bcm);
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
        offset_do_pino[pin], chip_das_linhas, acao, nome_do_erro(erro));
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
    int chip = abrir_chip(chip_das_linhas);
    if (chip < 0)
        return errno;
    gpio_v2_line_request pedido;
    memset(&pedido, 0, sizeof pedido);
    pedido.offsets[0] = offset_do_pino[pin];
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

void explicar_linhas_nao_achadas()
{
    int pin = pino_que_faltou;
    if (chip_recusado >= 0 && sem_permissao(erro_do_chip)) {
        reclamar_do_pino(pin, "sem permissao para abrir /dev/gpiochip%d (%s); %s", chip_recusado,
                         nome_do_erro(erro_do_chip), PRECISA_DE_ACESSO);
        return;
    }
    if (chip_recusado >= 0) {
        reclamar_do_pino(pin, "nao foi possivel ler /dev/gpiochip%d (%s)", chip_recusado,
                         nome_do_erro(erro_do_chip));
        return;
    }
    if (chips_presentes == 0) {
        reclamar_do_pino(pin, "nenhum /dev/gpiochip* neste sistema (o kernel nao oferece GPIO por "
                              "dispositivo de caracteres)");
        return;
    }
    // What was looked for and what there is, so that a board of a kind not
    // known here can be told apart from a missing driver.
    char nomes[64] = "";
    for (int n = 0; n < NOMES_MAX && placa[pin].nomes[n] != nullptr; n++)
        anexar(nomes, sizeof nomes, "%s%s", n > 0 ? " ou " : "", placa[pin].nomes[n]);
    char achados[512] = "";
    for (int i = 0; i < num_vistos; i++)
        if (!anexar(achados, sizeof achados, "%sgpiochip%d \"%s\" (%u linhas)", i > 0 ? ", " : "",
                    vistos[i].numero, vistos[i].rotulo, vistos[i].linhas)) {
            anexar(achados, sizeof achados, ", ...");
            break;
        }
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
    int fd = abrir_chip(chip_das_linhas);
    if (fd < 0)
        return;
    gpio_v2_line_info info;
    memset(&info, 0, sizeof info);
    info.offset = offset_do_pino[pin];
    if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && (info.flags & GPIO_V2_LINE_FLAG_USED))
        snprintf(consumidor, tamanho, "%.*s", static_cast<int>(sizeof info.consumer), info.consumer);
    close(fd);
}

void explicar_pedido_recusado(int pin, int erro)
{
    int chip = chip_das_linhas;
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
                         offset_do_pino[pin], chip, nome_do_erro(erro));
}

} // namespace

extern "C" {

int wiringPiSetup(void)
{
    liberar();
    for (int pin = 0; pin < PINOS; pin++) {
        modo[pin] = placa[pin].modo;
        puxada[pin] = placa[pin].puxada;
        nivel[pin] = LOW;
    }
    procurar_linhas();
    if (chip_das_linhas < 0) {
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
    nivel[pin] = value == LOW ? LOW : HIGH;
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
