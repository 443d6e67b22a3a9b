// Stand-in for the kernel's GPIO character device, for running the real
// teclado binary built with TECLADO_GPIO=chardev on a PC that has no GPIO:
//
//   LD_PRELOAD=libfake_gpiochip.so teclado < keys
//
// It answers open() of /dev/gpiochip* and the GPIO v2 ioctls on the fds it
// hands out the way the kernel documents them (include/uapi/linux/gpio.h,
// drivers/gpio/gpiolib-cdev.c), and stricter where a real kernel would let a
// mistake pass unseen: an attribute or value mask naming lines outside the
// request, a non-zero padding field, an unknown attribute id, a consumer
// label without its terminator.
//
// The board is a Raspberry Pi 5 as older kernels number its chips: the
// header's 54 lines (GPIO0 .. GPIO27, then unnamed ones) on gpiochip4, an
// unrelated chip with names of its own on gpiochip0, and nothing between,
// so a backend that takes chip 0, stops at the first missing number or
// matches names loosely does not find the keypad.
//
// The keypad of the sim backend (src/sim_keypad.cpp) is wired to the
// header: columns 0-3 on GPIO17, 18, 27 and 22, rows 0-3 on GPIO23, 24, 25
// and 4. Its key actions come from standard input, as with the sim backend,
// and are taken while the program sleeps with clock_nanosleep() on the
// monotonic clock to an absolute time, which is how the backend pauses.
// Lines start as floating inputs: a column that is not pulled down reads
// noise (HIGH), a row that is not driven closes no key.
//
// FAKE_GPIO_FAULT selects one fault:
//   no-chip        no /dev/gpiochip* at all (ENOENT)
//   eacces, eperm  every /dev/gpiochip* refuses open() with that errno
//   no-line        the line GPIO22 has no name
//   ebusy          GPIO23 is already held by the consumer "outro-programa"
//   request-eperm  every line request is refused with EPERM
//   read-error     every GET_VALUES fails with EIO
#include "gpio.h"
#include "sim_keypad.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// ---- the board ----

constexpr int HEADER_CHIP = 4;
constexpr unsigned HEADER_LINES = 54;
constexpr unsigned OTHER_LINES = 16;
constexpr unsigned MAX_LINES = HEADER_LINES;

const char *const other_names[OTHER_LINES] = {
    "RP1_SDA",   "RP1_SCL",   "RP1_RUN",    "SD_IOVDD_SEL", "SD_PWR_ON", "SD_CDET_N",
    "SD_FLG_N",  "",          "2712_WAKE",  "2712_STAT_LED", "",         "",
    "PMIC_INT",  "UART_TX_FS", "UART_RX_FS", "",
};

// The keypad's wiring: wiringPi pin (index) -> header line offset.
const unsigned keypad_offset[SIM_PINOS] = {17, 18, 27, 22, 23, 24, 25, 4};

struct Line {
    char name[GPIO_MAX_NAME_SIZE];
    uint64_t flags; // as last configured, without USED
    bool used;
    char consumer[GPIO_MAX_NAME_SIZE];
    int output; // logical value driven while an output
};

struct Chip {
    int number;
    const char *label;
    unsigned lines;
    Line line[MAX_LINES];
};

Chip chips[2];

// ---- the fds handed out ----

enum class Kind { none, chip, request };

struct Fd {
    Kind kind;
    Chip *chip;
    unsigned num_lines;
    unsigned offsets[GPIO_V2_LINES_MAX];
};

constexpr int MAX_FDS = 1024;
Fd fds[MAX_FDS];

const char *fault = "";
bool ready;

bool fault_is(const char *name) { return strcmp(fault, name) == 0; }

void setup()
{
    if (ready)
        return;
    ready = true;
    const char *f = getenv("FAKE_GPIO_FAULT");
    fault = f != nullptr ? f : "";

    Chip &other = chips[0];
    other.number = 0;
    other.label = "gpio-brcmstb@107d508500";
    other.lines = OTHER_LINES;
    for (unsigned i = 0; i < OTHER_LINES; i++)
        snprintf(other.line[i].name, GPIO_MAX_NAME_SIZE, "%s", other_names[i]);

    Chip &header = chips[1];
    header.number = HEADER_CHIP;
    header.label = "pinctrl-rp1";
    header.lines = HEADER_LINES;
    for (unsigned i = 0; i < 28; i++)
        snprintf(header.line[i].name, GPIO_MAX_NAME_SIZE, "GPIO%u", i);
    for (Chip &c : chips)
        for (unsigned i = 0; i < c.lines; i++)
            c.line[i].flags = GPIO_V2_LINE_FLAG_INPUT;

    if (fault_is("no-line"))
        header.line[22].name[0] = '\0';
    if (fault_is("ebusy")) {
        header.line[23].used = true;
        snprintf(header.line[23].consumer, GPIO_MAX_NAME_SIZE, "outro-programa");
    }
}

Chip *chip_numbered(int number)
{
    for (Chip &c : chips)
        if (c.number == number)
            return &c;
    return nullptr;
}

// wiringPi pin of a header line, or -1 when the keypad is not wired to it.
int keypad_pin(const Chip *chip, unsigned offset)
{
    if (chip->number != HEADER_CHIP)
        return -1;
    for (int pin = 0; pin < SIM_PINOS; pin++)
        if (keypad_offset[pin] == offset)
            return pin;
    return -1;
}

// Line requests open now: while there are any, the program is scanning.
int open_requests;

// Electrical level of a line, before any ACTIVE_LOW inversion.
int physical_level(Chip *chip, unsigned offset)
{
    const Line &l = chip->line[offset];
    int pin = keypad_pin(chip, offset);
    if (pin >= 0)
        return sim_pino_ler(pin);
    if (l.flags & GPIO_V2_LINE_FLAG_OUTPUT)
        return l.output ^ ((l.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? 1 : 0);
    return (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) ? 1 : 0;
}

int logical_level(Chip *chip, unsigned offset)
{
    int active_low = (chip->line[offset].flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? 1 : 0;
    return physical_level(chip, offset) ^ active_low;
}

// Passes a line's new state on to the keypad model.
void wire(Chip *chip, unsigned offset)
{
    const Line &l = chip->line[offset];
    int pin = keypad_pin(chip, offset);
    if (pin < 0)
        return;
    bool output = (l.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    sim_pino_modo(pin, output ? OUTPUT : INPUT);
    sim_pino_puxada(pin, (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN) != 0);
    if (output)
        sim_pino_nivel(pin, l.output ^ ((l.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? 1 : 0));
}

// ---- validation, as gpiolib-cdev.c does it ----

constexpr uint64_t VALID_FLAGS =
    GPIO_V2_LINE_FLAG_ACTIVE_LOW | GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT |
    GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING | GPIO_V2_LINE_FLAG_OPEN_DRAIN |
    GPIO_V2_LINE_FLAG_OPEN_SOURCE | GPIO_V2_LINE_FLAG_BIAS_PULL_UP |
    GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN | GPIO_V2_LINE_FLAG_BIAS_DISABLED |
    GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME | GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
constexpr uint64_t DIRECTION = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
constexpr uint64_t EDGES = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
constexpr uint64_t DRIVES = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
constexpr uint64_t BIASES = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                            GPIO_V2_LINE_FLAG_BIAS_DISABLED;

int count_bits(uint64_t x) { return __builtin_popcountll(x); }

bool flags_valid(uint64_t f)
{
    if (f & ~VALID_FLAGS)
        return false;
    if ((f & DIRECTION) == DIRECTION)
        return false;
    if ((f & GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME) && (f & GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE))
        return false;
    if ((f & EDGES) && !(f & GPIO_V2_LINE_FLAG_INPUT))
        return false;
    if ((f & DRIVES) == DRIVES)
        return false;
    if ((f & DRIVES) && !(f & GPIO_V2_LINE_FLAG_OUTPUT))
        return false;
    if ((f & BIASES) && !(f & DIRECTION))
        return false;
    return count_bits(f & BIASES) <= 1;
}

bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != 0)
            return false;
    return true;
}

uint64_t lines_mask(unsigned num_lines)
{
    return num_lines >= 64 ? ~0ULL : (1ULL << num_lines) - 1;
}

// The first attribute of kind id that covers line i, or nullptr.
const gpio_v2_line_attribute *attribute_for(const gpio_v2_line_config &c, uint32_t id, unsigned i)
{
    for (unsigned a = 0; a < c.num_attrs; a++)
        if (c.attrs[a].attr.id == id && (c.attrs[a].mask >> i) & 1)
            return &c.attrs[a].attr;
    return nullptr;
}

uint64_t flags_for(const gpio_v2_line_config &c, unsigned i)
{
    const gpio_v2_line_attribute *a = attribute_for(c, GPIO_V2_LINE_ATTR_ID_FLAGS, i);
    return a != nullptr ? a->flags : c.flags;
}

// 0, or the errno the kernel gives for this configuration of num_lines.
int config_error(const gpio_v2_line_config &c, unsigned num_lines)
{
    if (c.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !all_zero(c.padding, sizeof c.padding))
        return EINVAL;
    for (unsigned a = 0; a < c.num_attrs; a++) {
        const gpio_v2_line_config_attribute &ca = c.attrs[a];
        if (ca.attr.id < GPIO_V2_LINE_ATTR_ID_FLAGS || ca.attr.id > GPIO_V2_LINE_ATTR_ID_DEBOUNCE)
            return EINVAL;
        if (ca.attr.padding != 0 || ca.mask == 0 || (ca.mask & ~lines_mask(num_lines)))
            return EINVAL;
        if (ca.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES &&
            (ca.attr.values & ~lines_mask(num_lines)))
            return EINVAL;
    }
    for (unsigned i = 0; i < num_lines; i++) {
        uint64_t f = flags_for(c, i);
        if (!flags_valid(f))
            return EINVAL;
        if (attribute_for(c, GPIO_V2_LINE_ATTR_ID_DEBOUNCE, i) != nullptr &&
            !(f & GPIO_V2_LINE_FLAG_INPUT))
            return EINVAL;
    }
    return 0;
}

void apply_config(Fd &r, const gpio_v2_line_config &c)
{
    for (unsigned i = 0; i < r.num_lines; i++) {
        Line &l = r.chip->line[r.offsets[i]];
        uint64_t f = flags_for(c, i);
        // No direction flag: the line keeps its direction ("as is"); no
        // bias flag: it keeps its bias.
        if (!(f & DIRECTION))
            f |= l.flags & DIRECTION;
        if (!(f & BIASES))
            f |= l.flags & BIASES;
        l.flags = f;
        if (f & GPIO_V2_LINE_FLAG_OUTPUT) {
            const gpio_v2_line_attribute *v =
                attribute_for(c, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES, i);
            l.output = v != nullptr ? static_cast<int>((v->values >> i) & 1) : 0;
        }
        wire(r.chip, r.offsets[i]);
    }
}

// ---- the real functions ----

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int new_fd(Kind kind, Chip *chip)
{
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    if (fd < 0)
        return -1;
    if (fd >= MAX_FDS) {
        syscall(SYS_close, fd);
        errno = EMFILE;
        return -1;
    }
    fds[fd] = Fd{};
    fds[fd].kind = kind;
    fds[fd].chip = chip;
    return fd;
}

// Handles open() of a /dev/gpiochip* path; false for any other path.
bool open_chip(const char *path, int *result)
{
    static const char prefix[] = "/dev/gpiochip";
    if (path == nullptr || strncmp(path, prefix, sizeof prefix - 1) != 0)
        return false;
    setup();
    const char *digits = path + sizeof prefix - 1;
    size_t n = strlen(digits);
    Chip *chip = nullptr;
    if (n > 0 && n < 4 && strspn(digits, "0123456789") == n && !(n > 1 && digits[0] == '0'))
        chip = chip_numbered(atoi(digits));
    int error = 0;
    if (chip == nullptr || fault_is("no-chip"))
        error = ENOENT;
    else if (fault_is("eacces"))
        error = EACCES;
    else if (fault_is("eperm"))
        error = EPERM;
    if (error != 0) {
        errno = error;
        *result = -1;
    } else {
        *result = new_fd(Kind::chip, chip);
    }
    return true;
}

// ---- the ioctls ----

int chip_ioctl(Fd &f, unsigned long request, void *arg)
{
    Chip *chip = f.chip;
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
        gpiochip_info *info = static_cast<gpiochip_info *>(arg);
        memset(info, 0, sizeof *info);
        snprintf(info->name, sizeof info->name, "gpiochip%d", chip->number);
        snprintf(info->label, sizeof info->label, "%s", chip->label);
        info->lines = chip->lines;
        return 0;
    }
    if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
        gpio_v2_line_info *info = static_cast<gpio_v2_line_info *>(arg);
        if (info->offset >= chip->lines || !all_zero(info->padding, sizeof info->padding))
            return EINVAL;
        unsigned offset = info->offset;
        const Line &l = chip->line[offset];
        memset(info, 0, sizeof *info);
        memcpy(info->name, l.name, sizeof info->name);
        memcpy(info->consumer, l.consumer, sizeof info->consumer);
        info->offset = offset;
        info->flags = l.flags | (l.used ? GPIO_V2_LINE_FLAG_USED : 0);
        return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL) {
        gpio_v2_line_request *req = static_cast<gpio_v2_line_request *>(arg);
        if (req->num_lines == 0 || req->num_lines > GPIO_V2_LINES_MAX ||
            !all_zero(req->padding, sizeof req->padding) ||
            memchr(req->consumer, '\0', sizeof req->consumer) == nullptr)
            return EINVAL;
        for (unsigned i = 0; i < req->num_lines; i++)
            if (req->offsets[i] >= chip->lines)
                return EINVAL;
        if (int e = config_error(req->config, req->num_lines))
            return e;
        if (fault_is("request-eperm"))
            return EPERM;
        for (unsigned i = 0; i < req->num_lines; i++) {
            if (chip->line[req->offsets[i]].used)
                return EBUSY;
            for (unsigned j = 0; j < i; j++)
                if (req->offsets[j] == req->offsets[i])
                    return EBUSY;
        }
        int fd = new_fd(Kind::request, chip);
        if (fd < 0)
            return errno;
        open_requests++;
        Fd &r = fds[fd];
        r.num_lines = req->num_lines;
        for (unsigned i = 0; i < req->num_lines; i++) {
            r.offsets[i] = req->offsets[i];
            Line &l = chip->line[req->offsets[i]];
            l.used = true;
            snprintf(l.consumer, sizeof l.consumer, "%s", req->consumer[0] ? req->consumer : "?");
        }
        apply_config(r, req->config);
        req->fd = fd;
        return 0;
    }
    return EINVAL;
}

int request_ioctl(Fd &r, unsigned long request, void *arg)
{
    if (request == GPIO_V2_LINE_GET_VALUES_IOCTL) {
        gpio_v2_line_values *v = static_cast<gpio_v2_line_values *>(arg);
        if (v->mask == 0 || (v->mask & ~lines_mask(r.num_lines)))
            return EINVAL;
        if (fault_is("read-error"))
            return EIO;
        uint64_t bits = 0;
        for (unsigned i = 0; i < r.num_lines; i++)
            if ((v->mask >> i) & 1)
                bits |= static_cast<uint64_t>(logical_level(r.chip, r.offsets[i])) << i;
        v->bits = bits;
        return 0;
    }
    if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        const gpio_v2_line_values *v = static_cast<const gpio_v2_line_values *>(arg);
        if (v->mask == 0 || (v->mask & ~lines_mask(r.num_lines)))
            return EINVAL;
        for (unsigned i = 0; i < r.num_lines; i++)
            if ((v->mask >> i) & 1 && !(r.chip->line[r.offsets[i]].flags & GPIO_V2_LINE_FLAG_OUTPUT))
                return EPERM;
        for (unsigned i = 0; i < r.num_lines; i++)
            if ((v->mask >> i) & 1) {
                r.chip->line[r.offsets[i]].output = static_cast<int>((v->bits >> i) & 1);
                wire(r.chip, r.offsets[i]);
            }
        return 0;
    }
    if (request == GPIO_V2_LINE_SET_CONFIG_IOCTL) {
        const gpio_v2_line_config *c = static_cast<const gpio_v2_line_config *>(arg);
        if (int e = config_error(*c, r.num_lines))
            return e;
        apply_config(r, *c);
        return 0;
    }
    return EINVAL;
}

bool pausing;

// Every way glibc offers to open a file by name ends here: a /dev/gpiochip*
// path is answered by the stand-in, any other goes to the real openat64().
int opened(int dirfd, const char *path, int flags, mode_t mode)
{
    int fd;
    if (open_chip(path, &fd))
        return fd;
    static auto next = real<int (*)(int, const char *, int, ...)>("openat64");
    return next(dirfd, path, flags, mode);
}

} // namespace

// ---- the interposed functions ----

extern "C" {

#define MODE_AFTER(flags)                                                                     \
    va_list args;                                                                             \
    va_start(args, flags);                                                                    \
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;                 \
    va_end(args)

int open(const char *path, int flags, ...)
{
    MODE_AFTER(flags);
    return opened(AT_FDCWD, path, flags, mode);
}
int open64(const char *path, int flags, ...)
{
    MODE_AFTER(flags);
    return opened(AT_FDCWD, path, flags, mode);
}
int openat(int dirfd, const char *path, int flags, ...)
{
    MODE_AFTER(flags);
    return opened(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char *path, int flags, ...)
{
    MODE_AFTER(flags);
    return opened(dirfd, path, flags, mode);
}
// The checked entry points that _FORTIFY_SOURCE builds call instead.
int __open_2(const char *path, int flags)
{
    return opened(AT_FDCWD, path, flags, 0);
}
int __open64_2(const char *path, int flags)
{
    return opened(AT_FDCWD, path, flags, 0);
}
int __openat_2(int dirfd, const char *path, int flags)
{
    return opened(dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char *path, int flags)
{
    return opened(dirfd, path, flags, 0);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (fd >= 0 && fd < MAX_FDS && fds[fd].kind != Kind::none) {
        int error = fds[fd].kind == Kind::chip ? chip_ioctl(fds[fd], request, arg)
                                               : request_ioctl(fds[fd], request, arg);
        if (error != 0) {
            errno = error;
            return -1;
        }
        return 0;
    }
    static auto next = real<int (*)(int, unsigned long, ...)>("ioctl");
    return next(fd, request, arg);
}

int close(int fd)
{
    if (fd >= 0 && fd < MAX_FDS && fds[fd].kind == Kind::request) {
        // Closing a request releases its lines, as the kernel does.
        Fd &r = fds[fd];
        for (unsigned i = 0; i < r.num_lines; i++) {
            Line &l = r.chip->line[r.offsets[i]];
            l.used = false;
            memset(l.consumer, 0, sizeof l.consumer);
        }
        open_requests--;
    }
    if (fd >= 0 && fd < MAX_FDS)
        fds[fd] = Fd{};
    static auto next = real<int (*)(int)>("close");
    return next(fd);
}

// The backend's pause: key actions are applied while it lasts, as the sim
// backend applies them during delay().
int clock_nanosleep(clockid_t clock, int flags, const timespec *until, timespec *remain)
{
    static auto next = real<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    if (pausing || clock != CLOCK_MONOTONIC || !(flags & TIMER_ABSTIME) || open_requests == 0)
        return next(clock, flags, until, remain);
    pausing = true;
    sim_pausar_ate(until->tv_sec * 1000000000LL + until->tv_nsec);
    pausing = false;
    return 0;
}

} // extern "C"
