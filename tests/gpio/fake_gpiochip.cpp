// Stand-in for the kernel's GPIO character device, for running the real
// teclado binary built with TECLADO_GPIO=chardev on a PC that has no GPIO:
//
//   LD_PRELOAD=libfake_gpiochip.so teclado < keys
//
// It answers open() of /dev/gpiochip* and the GPIO v2 ioctls on the fds it
// hands out as include/uapi/linux/gpio.h documents them, and stricter where
// a real kernel would let a mistake pass unseen: a mask naming lines outside
// the request, a non-zero padding field. What teclado has no use for is
// refused as well: requests of several lines, flags for falling edges,
// drives or active-low, attributes other than output values.
//
// A line with GPIO_V2_LINE_FLAG_EDGE_RISING queues a struct
// gpio_v2_line_event (16 at most, the oldest dropped) at each rise, be it
// a key action's or a row's, as the kernel does; none for a line already
// high when the flag is set. poll() on such lines sleeps until the
// keypad's next key action makes one; read() hands out whole events.
//
// The board comes from the file FAKE_GPIO_BOARD names, one of
// tests/gpio/boards/*.chips (made from Debian's kernel device trees by
// make-boards.sh beside them); each line one of
//   chip N LABEL LINES     /dev/gpiochipN, as GPIO_GET_CHIPINFO_IOCTL tells it
//   OFFSET NAME            a name of the chip above's line (else unnamed)
//   alias N M              /dev/gpiochipN is a link to /dev/gpiochipM
// and '#' comments. Without the variable, or with a file it cannot read,
// the stand-in stops the program with status 2.
//
// The keypad of src/gpio/sim_keypad.cpp is wired to the header by BCM number,
// which is the line offset on the SoC's chip (the one labelled pinctrl-*),
// as src/mapa_do_teclado.h gives it for each wiringPi pin. Its key
// actions come from standard input and are taken while the program sleeps
// with clock_nanosleep() on the monotonic clock to an absolute time, which
// is how the backend pauses. Lines start as inputs without bias: a column
// that is not pulled down reads noise (HIGH), a row that is not driven
// closes no key.
//
// With FAKE_GPIO_CLAIMS naming a file, every line request and every change
// of a line's configuration is appended to it as one line:
//   request|config CHIP OFFSET input|output pull-down|pull-up|no-pull|as-is VALUE [rising]
// (CHIP the chip's own number, whatever link it was opened by).
//
// FAKE_GPIO_FAULT selects one fault:
//   no-chip        no /dev/gpiochip* at all (ENOENT)
//   eacces, eperm  every /dev/gpiochip* refuses open() with that errno
//   unknown-label  the SoC's chip has a label no driver gives it
//   no-line        as unknown-label, and line 27 of that chip has no name (a
//                  Pi 3's expander still has a CAM_GPIO0)
//   ebusy          line 23 of the SoC's chip is held by "outro-programa"
//   request-eperm  every line request is refused with EPERM
//   read-error     every GET_VALUES fails with EIO
//   unbound        from the 8th on, every SET_VALUES fails with ENODEV, as
//                  once the chip's driver is unbound (the first pass makes
//                  seven: row 3, low from the start, is not lowered again)
#include "gpio/gpio.h"
#include "gpio/sim.h"
#include "mapa_do_teclado.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <climits>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int MAX_CHIPS = 16;
constexpr unsigned MAX_LINES = 64;
constexpr int MAX_ALIASES = 4;
constexpr unsigned MAX_EVENTS = 16;

// The keypad's wiring: wiringPi pin (index) -> BCM number.
const unsigned keypad_offset[SIM_PINOS] = {FIOS_DO_TECLADO(FIO_BCM, FIO_BCM)};

struct Line {
    char name[GPIO_MAX_NAME_SIZE];
    uint64_t flags; // as last configured, without USED
    bool used;
    char consumer[GPIO_MAX_NAME_SIZE];
    int output; // level driven while an output
    int level;  // as last seen for edges
    gpio_v2_line_event events[MAX_EVENTS];
    unsigned queued;
    unsigned seqno;
};

struct Chip {
    int number;
    char label[GPIO_MAX_NAME_SIZE];
    unsigned lines;
    Line line[MAX_LINES];
};

Chip chips[MAX_CHIPS];
int chip_count;
Chip *header; // the SoC's chip, which the keypad is wired to

struct Alias {
    int number;
    Chip *chip;
};
Alias aliases[MAX_ALIASES];
int alias_count;

// The fds handed out: a chip's (request false) or a line request's.
struct Fd {
    Chip *chip; // nullptr: not one of ours
    bool request;
    unsigned offset; // the request's line
};

constexpr int MAX_FDS = 1024;
Fd fds[MAX_FDS];

// Line requests open now: while there are any, the program is scanning.
int open_requests;
int writes;

const char *fault = "";
int claims_fd = -1;

bool fault_is(const char *name) { return strcmp(fault, name) == 0; }

__attribute__((format(printf, 1, 2), noreturn)) void give_up(const char *fmt, ...)
{
    fprintf(stderr, "fake_gpiochip: ");
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fputc('\n', stderr);
    _exit(2);
}

Chip *chip_numbered(int number)
{
    for (int i = 0; i < chip_count; i++)
        if (chips[i].number == number)
            return &chips[i];
    return nullptr;
}

void read_board(const char *path)
{
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        give_up("FAKE_GPIO_BOARD=%s: %s", path, strerror(errno));
    char text[256];
    int number, target;
    unsigned lines, offset;
    char word[GPIO_MAX_NAME_SIZE];
    Chip *chip = nullptr;
    for (int n = 1; fgets(text, sizeof text, f) != nullptr; n++) {
        text[strcspn(text, "\n")] = '\0';
        if (text[0] == '#' || text[0] == '\0')
            continue;
        if (sscanf(text, "chip %d %31s %u", &number, word, &lines) == 3 && chip_count < MAX_CHIPS &&
            lines <= MAX_LINES) {
            chip = &chips[chip_count++];
            chip->number = number;
            chip->lines = lines;
            snprintf(chip->label, sizeof chip->label, "%s", word);
            if (strncmp(word, "pinctrl-", 8) == 0 && header == nullptr)
                header = chip;
        } else if (sscanf(text, "alias %d %d", &number, &target) == 2 && alias_count < MAX_ALIASES &&
                   chip_numbered(target) != nullptr) {
            aliases[alias_count++] = Alias{number, chip_numbered(target)};
        } else if (sscanf(text, "%u %31s", &offset, word) == 2 && chip != nullptr &&
                   offset < chip->lines) {
            snprintf(chip->line[offset].name, GPIO_MAX_NAME_SIZE, "%s", word);
        } else {
            give_up("%s:%d: cannot read '%s'", path, n, text);
        }
    }
    fclose(f);
    if (header == nullptr || header->lines <= 27)
        give_up("%s: no chip labelled pinctrl-* with the header's lines", path);
}

void setup()
{
    static bool ready;
    if (ready)
        return;
    ready = true;
    if (const char *f = getenv("FAKE_GPIO_FAULT"))
        fault = f;
    const char *board = getenv("FAKE_GPIO_BOARD");
    if (board == nullptr)
        give_up("FAKE_GPIO_BOARD names no board file");
    read_board(board);
    if (const char *claims = getenv("FAKE_GPIO_CLAIMS")) {
        claims_fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, claims,
                                             O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (claims_fd < 0)
            give_up("FAKE_GPIO_CLAIMS=%s: %s", claims, strerror(errno));
    }
    for (int i = 0; i < chip_count; i++)
        for (Line &l : chips[i].line)
            l.flags = GPIO_V2_LINE_FLAG_INPUT;

    if (fault_is("unknown-label") || fault_is("no-line"))
        snprintf(header->label, sizeof header->label, "unknown-soc-gpio");
    if (fault_is("no-line"))
        header->line[27].name[0] = '\0';
    if (fault_is("ebusy")) {
        header->line[23].used = true;
        snprintf(header->line[23].consumer, GPIO_MAX_NAME_SIZE, "outro-programa");
    }
}

// wiringPi pin of a header line, or -1 when the keypad is not wired to it.
int keypad_pin(const Chip *chip, unsigned offset)
{
    if (chip != header)
        return -1;
    for (int pin = 0; pin < SIM_PINOS; pin++)
        if (keypad_offset[pin] == offset)
            return pin;
    return -1;
}

void log_claim(const char *what, const Chip *chip, unsigned offset)
{
    if (claims_fd < 0)
        return;
    const Line &l = chip->line[offset];
    bool output = (l.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    const char *bias = (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN) ? "pull-down"
                       : (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) ? "pull-up"
                       : (l.flags & GPIO_V2_LINE_FLAG_BIAS_DISABLED) ? "no-pull"
                                                                     : "as-is";
    char text[96];
    int n = snprintf(text, sizeof text, "%s %d %u %s %s %d%s\n", what, chip->number, offset,
                     output ? "output" : "input", bias, output ? l.output : 0,
                     (l.flags & GPIO_V2_LINE_FLAG_EDGE_RISING) ? " rising" : "");
    if (write(claims_fd, text, static_cast<size_t>(n)) != n)
        give_up("FAKE_GPIO_CLAIMS: %s", strerror(errno));
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
        sim_pino_nivel(pin, l.output);
}

// The level a header line reads: the keypad's, or low where it is not wired.
int level_of(const Chip *chip, unsigned offset)
{
    int pin = keypad_pin(chip, offset);
    return pin >= 0 ? sim_pino_ler(pin) : 0;
}

// Queues an event on every line watched for rising edges that went from
// low to high since it was last looked at. Returns false, as a pause's
// stop condition that never stops it.
bool note_edges()
{
    if (header == nullptr)
        return false;
    for (unsigned offset = 0; offset < header->lines; offset++) {
        Line &l = header->line[offset];
        if (!l.used || !(l.flags & GPIO_V2_LINE_FLAG_EDGE_RISING))
            continue;
        int now = level_of(header, offset);
        if (now == 1 && l.level == 0) {
            if (l.queued == MAX_EVENTS)
                memmove(l.events, l.events + 1, --l.queued * sizeof l.events[0]);
            gpio_v2_line_event &e = l.events[l.queued++];
            memset(&e, 0, sizeof e);
            e.timestamp_ns = static_cast<uint64_t>(sim_agora_ns());
            e.id = GPIO_V2_LINE_EVENT_RISING_EDGE;
            e.offset = offset;
            e.seqno = e.line_seqno = ++l.seqno;
        }
        l.level = now;
    }
    return false;
}

// ---- validation ----

constexpr uint64_t DIRECTION = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
constexpr uint64_t BIASES = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                            GPIO_V2_LINE_FLAG_BIAS_DISABLED;

bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != 0)
            return false;
    return true;
}

// 0, or EINVAL for a configuration of one line that the kernel would
// refuse, or that names other lines, or uses what the stand-in does not model.
int config_error(const gpio_v2_line_config &c)
{
    uint64_t f = c.flags;
    // Edges only on an input, as the kernel wants.
    if ((f & GPIO_V2_LINE_FLAG_EDGE_RISING) && !(f & GPIO_V2_LINE_FLAG_INPUT))
        return EINVAL;
    f &= ~static_cast<uint64_t>(GPIO_V2_LINE_FLAG_EDGE_RISING);
    if ((f & ~(DIRECTION | BIASES)) || (f & DIRECTION) == DIRECTION ||
        ((f & BIASES) && !(f & DIRECTION)) || __builtin_popcountll(f & BIASES) > 1)
        return EINVAL;
    if (c.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !all_zero(c.padding, sizeof c.padding))
        return EINVAL;
    for (unsigned a = 0; a < c.num_attrs; a++) {
        const gpio_v2_line_config_attribute &ca = c.attrs[a];
        if (ca.attr.id != GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES || ca.attr.padding != 0 ||
            ca.mask != 1 || ca.attr.values > 1)
            return EINVAL;
    }
    return 0;
}

void apply_config(const char *what, const Fd &r, const gpio_v2_line_config &c)
{
    Line &l = r.chip->line[r.offset];
    // No direction or no bias flag: the line keeps the one it has.
    uint64_t f = c.flags;
    if (!(f & DIRECTION))
        f |= l.flags & DIRECTION;
    if (!(f & BIASES))
        f |= l.flags & BIASES;
    bool watched = (l.flags & GPIO_V2_LINE_FLAG_EDGE_RISING) != 0;
    l.flags = f;
    l.output = c.num_attrs > 0 ? static_cast<int>(c.attrs[0].attr.values) : 0;
    wire(r.chip, r.offset);
    // Watched from now: a line already high makes no edge.
    if (!watched)
        l.level = level_of(r.chip, r.offset);
    note_edges();
    log_claim(what, r.chip, r.offset);
}

// ---- the fds and the ioctls ----

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Built with a 64-bit time_t on a 32-bit target, as the program is, the
// functions below get the names glibc's headers (all of them included
// here) give that program's calls: open64, __ioctl_time64,
// __clock_nanosleep_time64. They pass on to the same.
#ifdef __USE_TIME_BITS64
#define CALL_NAME(name, name_64) name_64
#else
#define CALL_NAME(name, name_64) name
#endif

// A real fd, so that its number is not the program's for anything else.
int new_fd(Chip *chip, bool request)
{
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    if (fd >= MAX_FDS) {
        syscall(SYS_close, fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0)
        fds[fd] = Fd{chip, request, 0};
    return fd;
}

// open() of /dev/gpiochipN: an fd, or -1 with errno.
int open_chip(const char *path)
{
    Chip *chip = nullptr;
    int number = -1;
    char rest = '\0';
    if (sscanf(path, "/dev/gpiochip%d%c", &number, &rest) == 1) {
        chip = chip_numbered(number);
        for (int i = 0; i < alias_count; i++)
            if (aliases[i].number == number)
                chip = aliases[i].chip;
    }
    int error = chip == nullptr || fault_is("no-chip") ? ENOENT
                : fault_is("eacces")                   ? EACCES
                : fault_is("eperm")                    ? EPERM
                                                       : 0;
    if (error == 0)
        return new_fd(chip, false);
    errno = error;
    return -1;
}

int request_lines(Chip *chip, gpio_v2_line_request *req)
{
    if (req->num_lines != 1 || req->offsets[0] >= chip->lines ||
        !all_zero(req->padding, sizeof req->padding))
        return EINVAL;
    if (int e = config_error(req->config))
        return e;
    if (fault_is("request-eperm"))
        return EPERM;
    Line &l = chip->line[req->offsets[0]];
    if (l.used)
        return EBUSY;
    int fd = new_fd(chip, true);
    if (fd < 0)
        return errno;
    open_requests++;
    l.used = true;
    fds[fd].offset = req->offsets[0];
    apply_config("request", fds[fd], req->config);
    req->fd = fd;
    return 0;
}

int chip_ioctl(Chip *chip, unsigned long request, void *arg)
{
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
        gpiochip_info *info = static_cast<gpiochip_info *>(arg);
        memset(info, 0, sizeof *info);
        snprintf(info->name, sizeof info->name, "gpiochip%d", chip->number);
        memcpy(info->label, chip->label, sizeof info->label);
        info->lines = chip->lines;
        return 0;
    }
    if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
        gpio_v2_line_info *info = static_cast<gpio_v2_line_info *>(arg);
        if (info->offset >= chip->lines || !all_zero(info->padding, sizeof info->padding))
            return EINVAL;
        const Line &l = chip->line[info->offset];
        memcpy(info->name, l.name, sizeof info->name);
        memcpy(info->consumer, l.consumer, sizeof info->consumer);
        info->flags = l.flags | (l.used ? GPIO_V2_LINE_FLAG_USED : 0);
        return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL)
        return request_lines(chip, static_cast<gpio_v2_line_request *>(arg));
    return EINVAL;
}

int request_ioctl(const Fd &r, unsigned long request, void *arg)
{
    Line &l = r.chip->line[r.offset];
    if (request == GPIO_V2_LINE_GET_VALUES_IOCTL || request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        gpio_v2_line_values *v = static_cast<gpio_v2_line_values *>(arg);
        if (v->mask != 1)
            return EINVAL;
        if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
            if (!(l.flags & GPIO_V2_LINE_FLAG_OUTPUT))
                return EPERM;
            if (fault_is("unbound") && ++writes > 7)
                return ENODEV;
            l.output = static_cast<int>(v->bits & 1);
            wire(r.chip, r.offset);
            note_edges();
            return 0;
        }
        if (fault_is("read-error"))
            return EIO;
        // A line the keypad is not wired to reads low.
        int pin = keypad_pin(r.chip, r.offset);
        v->bits = pin >= 0 ? static_cast<uint64_t>(sim_pino_ler(pin)) : 0;
        return 0;
    }
    if (request == GPIO_V2_LINE_SET_CONFIG_IOCTL) {
        const gpio_v2_line_config *c = static_cast<const gpio_v2_line_config *>(arg);
        if (int e = config_error(*c))
            return e;
        apply_config("config", r, *c);
        return 0;
    }
    return EINVAL;
}

bool pausing;

// The fds a poll() waits on, for its stop condition.
const pollfd *polled;
nfds_t polled_count;

bool fd_is_request(int fd) { return fd >= 0 && fd < MAX_FDS && fds[fd].request; }

Line &line_of(int fd) { return fds[fd].chip->line[fds[fd].offset]; }

// Sets the polled fds' revents; true if one has an event.
bool events_ready()
{
    note_edges();
    bool ready = false;
    for (nfds_t i = 0; i < polled_count; i++) {
        const_cast<pollfd &>(polled[i]).revents =
            line_of(polled[i].fd).queued > 0 ? (polled[i].events & POLLIN) : 0;
        ready = ready || polled[i].revents != 0;
    }
    return ready;
}

} // namespace

// ---- the interposed functions ----

extern "C" {

// The backend opens a chip with open(); any other path goes on to the real
// open(). A program built with other file offsets than this library calls
// another open() and finds no chip, and says so.
int open(const char *path, int flags, ...)
{
    if (strncmp(path, "/dev/gpiochip", 13) == 0) {
        setup();
        return open_chip(path);
    }
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    static auto next = real<int (*)(const char *, int, ...)>(CALL_NAME("open", "open64"));
    return next(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (fd >= 0 && fd < MAX_FDS && fds[fd].chip != nullptr) {
        Fd &f = fds[fd];
        int error = f.request ? request_ioctl(f, request, arg) : chip_ioctl(f.chip, request, arg);
        if (error == 0)
            return 0;
        errno = error;
        return -1;
    }
    static auto next =
        real<int (*)(int, unsigned long, ...)>(CALL_NAME("ioctl", "__ioctl_time64"));
    return next(fd, request, arg);
}

int close(int fd)
{
    if (fd >= 0 && fd < MAX_FDS && fds[fd].request) {
        // Closing a request releases its line, as the kernel does.
        fds[fd].chip->line[fds[fd].offset].used = false;
        fds[fd].chip->line[fds[fd].offset].queued = 0;
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
    static auto next = real<int (*)(clockid_t, int, const timespec *, timespec *)>(
        CALL_NAME("clock_nanosleep", "__clock_nanosleep_time64"));
    if (pausing || clock != CLOCK_MONOTONIC || !(flags & TIMER_ABSTIME) || open_requests == 0)
        return next(clock, flags, until, remain);
    pausing = true;
    sim_pausar_ate(until->tv_sec * 1000000000LL + until->tv_nsec, note_edges);
    pausing = false;
    return 0;
}

// poll() of line requests' fds, which the backend polls alone, waits for
// their events; any other poll() goes on to the real one.
int poll(pollfd *set, nfds_t count, int timeout)
{
    static auto next = real<int (*)(pollfd *, nfds_t, int)>("poll");
    nfds_t ours = 0;
    for (nfds_t i = 0; i < count; i++)
        ours += fd_is_request(set[i].fd);
    if (ours == 0)
        return next(set, count, timeout);
    if (ours != count)
        give_up("poll() of line requests mixed with other fds");
    polled = set;
    polled_count = count;
    pausing = true;
    sim_pausar_ate(timeout < 0 ? LLONG_MAX : sim_agora_ns() + timeout * 1000000LL, events_ready);
    pausing = false;
    events_ready();
    int ready = 0;
    for (nfds_t i = 0; i < count; i++)
        ready += set[i].revents != 0;
    return ready;
}

// read() of a line request's fd: whole events, as many as fit. The
// backend reads only what poll() said was there.
ssize_t read(int fd, void *buffer, size_t size)
{
    static auto next = real<ssize_t (*)(int, void *, size_t)>("read");
    if (!fd_is_request(fd))
        return next(fd, buffer, size);
    Line &l = line_of(fd);
    if (l.queued == 0)
        give_up("read() of a line request with no event queued would block");
    if (size < sizeof l.events[0]) {
        errno = EINVAL;
        return -1;
    }
    unsigned n = std::min<unsigned>(l.queued, static_cast<unsigned>(size / sizeof l.events[0]));
    memcpy(buffer, l.events, n * sizeof l.events[0]);
    memmove(l.events, l.events + n, (l.queued - n) * sizeof l.events[0]);
    l.queued -= n;
    return static_cast<ssize_t>(n * sizeof l.events[0]);
}

} // extern "C"
