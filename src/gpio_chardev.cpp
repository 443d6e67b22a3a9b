// GPIO on the board through the Linux GPIO character device
// (/dev/gpiochip*), with the kernel's v2 line interface (kernel 5.10 or
// newer) called directly rather than through libgpiod: Debian 12 ships
// libgpiod 1.6 and Debian 13 and current Raspberry Pi OS ship 2.x, whose
// APIs differ while the kernel's interface is the same under both; and
// libgpiod 1.6 looks in sysfs before it opens a chip, which a test double
// of the device at the system-call level cannot answer.
//
// Each pin is a line request of its own, claimed by wiringPiSetup() and
// held until the process ends: no other program can drive a keypad line
// while teclado scans, and a failure concerns one named pin.
#include "gpio.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

// wiringPi pin -> the line's name on the header, and the state the line is
// claimed in: rows driven low and columns pulled down from the first
// moment, so between the claim and the pin set-up no row floats and no
// column reads noise. The line is looked up by name on every chip: the
// header's chip number is not stable (on a Pi 5 it moved from gpiochip4 to
// gpiochip0 with kernel 6.6.47).
struct pino_da_placa {
    const char *linha;
    int modo;
    int puxada;
};
const pino_da_placa placa[PINOS] = {
    {"GPIO17", INPUT, PUD_DOWN},    {"GPIO18", INPUT, PUD_DOWN},
    {"GPIO27", INPUT, PUD_DOWN},    {"GPIO22", INPUT, PUD_DOWN},
    {"GPIO23", OUTPUT, SEM_PUXADA}, {"GPIO24", OUTPUT, SEM_PUXADA},
    {"GPIO25", OUTPUT, SEM_PUXADA}, {"GPIO4", OUTPUT, SEM_PUXADA},
};

// Chip numbers tried. They are not dense (a Pi 5 on kernel 6.6.47 or newer
// has gpiochip0 and gpiochip10 to 13), so a missing number does not end
// the search.
constexpr int CHIPS_MAX = 64;

const char *const CONSUMIDOR = "teclado";

// Where each pin's line was found.
struct linha_achada {
    bool achada;
    int chip;
    unsigned int offset;
    char consumidor[GPIO_MAX_NAME_SIZE + 1]; // who holds it, if anyone
};
linha_achada achadas[PINOS];

// What kept a chip from being read, for when a line is not found.
int chips_presentes;
int chip_recusado = -1;
int erro_do_chip;

int fd_linha[PINOS] = {-1, -1, -1, -1, -1, -1, -1, -1};
int modo[PINOS];
int puxada[PINOS];
int nivel[PINOS];

bool pino_valido(int pin) { return pin >= 0 && pin < PINOS; }

bool sem_permissao(int erro) { return erro == EACCES || erro == EPERM; }

// The errors a GPIO device gives, by the names the kernel's documentation
// uses. glibc's strerrorname_np() would do, but only from glibc 2.32 on, and
// Raspberry Pi OS on Debian 11 has 2.31.
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

// Reads the name of every line of every chip and notes where each pin's
// line is.
void procurar_linhas()
{
    memset(achadas, 0, sizeof achadas);
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
        gpiochip_info info_chip;
        memset(&info_chip, 0, sizeof info_chip);
        if (ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info_chip) < 0) {
            anotar_recusa(chip, errno);
            close(fd);
            continue;
        }
        for (unsigned int offset = 0; offset < info_chip.lines; offset++) {
            gpio_v2_line_info info;
            memset(&info, 0, sizeof info);
            info.offset = offset;
            if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0) {
                anotar_recusa(chip, errno);
                break;
            }
            for (int pin = 0; pin < PINOS; pin++) {
                linha_achada &a = achadas[pin];
                if (a.achada || strncmp(info.name, placa[pin].linha, sizeof info.name) != 0)
                    continue;
                a.achada = true;
                a.chip = chip;
                a.offset = offset;
                if (info.flags & GPIO_V2_LINE_FLAG_USED)
                    snprintf(a.consumidor, sizeof a.consumidor, "%.*s",
                             static_cast<int>(sizeof info.consumer), info.consumer);
            }
        }
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
    if (modo[pin] == OUTPUT) {
        // An output keeps the level last written to it: a change of mode or
        // pull must not move a row line (wiringPi's pinMode leaves it too).
        config->num_attrs = 1;
        config->attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        config->attrs[0].attr.values = nivel[pin] == HIGH ? 1 : 0;
        config->attrs[0].mask = 1;
    }
}

void reconfigurar(int pin)
{
    gpio_v2_line_config config;
    montar_config(pin, &config);
    ioctl(fd_linha[pin], GPIO_V2_LINE_SET_CONFIG_IOCTL, &config);
}

// Claims the pin's line; returns 0, or the errno of what failed.
int requisitar(int pin)
{
    int chip = abrir_chip(achadas[pin].chip);
    if (chip < 0)
        return errno;
    gpio_v2_line_request pedido;
    memset(&pedido, 0, sizeof pedido);
    pedido.offsets[0] = achadas[pin].offset;
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

__attribute__((format(printf, 2, 3))) void reclamar(int pin, const char *fmt, ...)
{
    fprintf(stderr, "teclado: pino %d (%s): ", pin, placa[pin].linha);
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fputc('\n', stderr);
}

const char *const PRECISA_DE_ACESSO =
    "o usuario precisa de acesso a /dev/gpiochip* (por exemplo, o grupo gpio)";

void explicar_linha_nao_achada(int pin)
{
    if (chip_recusado >= 0 && sem_permissao(erro_do_chip))
        reclamar(pin, "sem permissao para abrir /dev/gpiochip%d (%s); %s", chip_recusado,
                 nome_do_erro(erro_do_chip), PRECISA_DE_ACESSO);
    else if (chip_recusado >= 0)
        reclamar(pin, "nao foi possivel ler /dev/gpiochip%d (%s)", chip_recusado,
                 nome_do_erro(erro_do_chip));
    else if (chips_presentes == 0)
        reclamar(pin, "nenhum /dev/gpiochip* neste sistema (o kernel nao oferece GPIO por "
                      "dispositivo de caracteres)");
    else
        reclamar(pin, "nenhum /dev/gpiochip* tem uma linha com esse nome");
}

void explicar_pedido_recusado(int pin, int erro)
{
    const linha_achada &a = achadas[pin];
    if (erro == EBUSY && a.consumidor[0] != '\0')
        reclamar(pin, "linha ja em uso por \"%s\" em /dev/gpiochip%d (EBUSY); pare o programa que a usa",
                 a.consumidor, a.chip);
    else if (erro == EBUSY)
        reclamar(pin, "linha ja em uso em /dev/gpiochip%d (EBUSY); pare o programa que a usa", a.chip);
    else if (sem_permissao(erro))
        reclamar(pin, "sem permissao para usar a linha em /dev/gpiochip%d (%s); %s", a.chip,
                 nome_do_erro(erro), PRECISA_DE_ACESSO);
    else
        reclamar(pin, "falha ao pedir a linha %u de /dev/gpiochip%d (%s)", a.offset, a.chip,
                 nome_do_erro(erro));
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
    for (int pin = 0; pin < PINOS; pin++) {
        if (!achadas[pin].achada) {
            explicar_linha_nao_achada(pin);
            liberar();
            return -1;
        }
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
    ioctl(fd_linha[pin], GPIO_V2_LINE_SET_VALUES_IOCTL, &valores);
}

int digitalRead(int pin)
{
    if (!pino_valido(pin))
        return -1;
    gpio_v2_line_values valores;
    memset(&valores, 0, sizeof valores);
    valores.mask = 1;
    if (ioctl(fd_linha[pin], GPIO_V2_LINE_GET_VALUES_IOCTL, &valores) < 0)
        return -1;
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
