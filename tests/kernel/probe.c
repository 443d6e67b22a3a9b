/* The guest's probe for the kernel stage (scripts/test-kernel.sh): runs as
 * root inside a Raspberry Pi 2 B emulated by qemu-system-arm, beside the
 * real teclado, and prints one "PASS name: ..." or "FAIL name: ..." line per
 * check. Built static, so it needs nothing from the guest.
 *
 *   probe claims         the eight keypad lines as the kernel records them
 *   probe scan MS        the rows, as the GPIO block's level register shows them
 *   probe key ROW COL MS one closed key, joining BCM line ROW to BCM line COL
 *
 * The wiring is src/mapa_do_teclado.h's.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "mapa_do_teclado.h"

/* BCM line of each row and of each column. */
static const int rows[4] = {FIOS_DO_TECLADO(FIO_NADA, FIO_BCM)};
static const int cols[4] = {FIOS_DO_TECLADO(FIO_BCM, FIO_NADA)};

/* BCM2836: peripherals at bus 0x7E000000 seen by the ARM at 0x3F000000; the
 * GPIO block at +0x200000. Word offsets of the bank 0 (lines 0-31) registers:
 * writing 1s to GPSET0/GPCLR0 drives those lines high/low, GPLEV0 reads the
 * level of every line, input or output. */
#define GPIO_BASE 0x3F200000u
#define GPSET0 (0x1C / 4)
#define GPCLR0 (0x28 / 4)
#define GPLEV0 (0x34 / 4)

static volatile uint32_t *gpio;

static void map_gpio(void)
{
    /* /dev/mem reaches device registers only with iomem=relaxed on the
     * kernel's command line (Debian builds with IO_STRICT_DEVMEM). */
    int fd = open("/dev/mem", O_RDWR | O_SYNC);
    void *p = fd < 0 ? MAP_FAILED
                     : mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, GPIO_BASE);
    if (p == MAP_FAILED) {
        perror("probe: /dev/mem");
        exit(2);
    }
    gpio = p;
}

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/* The SoC's own chip, found by its label, not by its gpiochipN number. */
static int open_soc_chip(void)
{
    char path[300];
    struct gpiochip_info info;
    DIR *d = opendir("/dev");
    struct dirent *e;
    while (d && (e = readdir(d))) {
        if (strncmp(e->d_name, "gpiochip", 8) != 0)
            continue;
        snprintf(path, sizeof path, "/dev/%s", e->d_name);
        int fd = open(path, O_RDWR);
        if (fd >= 0 && ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) == 0 &&
            strcmp(info.label, "pinctrl-bcm2835") == 0) {
            closedir(d);
            return fd;
        }
        if (fd >= 0)
            close(fd);
    }
    printf("FAIL claims: no /dev/gpiochip* labelled pinctrl-bcm2835\n");
    exit(1);
}

/* One line as the kernel records it: held by "teclado", rows as outputs,
 * columns as inputs with the pull-down asked for. Whether the pull is really
 * there the emulated SoC cannot show: QEMU does not model pulls. */
static int claimed(int chip, int offset, int row, int report)
{
    struct gpio_v2_line_info li;
    memset(&li, 0, sizeof li);
    li.offset = offset;
    if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &li) < 0)
        return 0;
    int used = (li.flags & GPIO_V2_LINE_FLAG_USED) && strcmp(li.consumer, "teclado") == 0;
    int dir = row ? (li.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0
                  : (li.flags & GPIO_V2_LINE_FLAG_INPUT) && (li.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN);
    int ok = used && dir;
    if (report)
        printf("%s claim-%d: line %d \"%s\" held by \"%s\", %s%s\n", ok ? "PASS" : "FAIL", offset,
               offset, li.name, li.consumer, li.flags & GPIO_V2_LINE_FLAG_OUTPUT ? "output" : "input",
               li.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN ? ", pull-down" : "");
    return ok;
}

static int claims(void)
{
    int chip = open_soc_chip();
    /* teclado claims its lines just after its start line: wait up to 5 s. */
    for (int tries = 0; tries < 50; tries++) {
        int all = 1;
        for (int i = 0; i < 4; i++)
            all &= claimed(chip, rows[i], 1, 0) & claimed(chip, cols[i], 0, 0);
        if (all)
            break;
        usleep(100000);
    }
    int fails = 0;
    for (int i = 0; i < 4; i++)
        fails += !claimed(chip, cols[i], 0, 1);
    for (int i = 0; i < 4; i++)
        fails += !claimed(chip, rows[i], 1, 1);
    return fails != 0;
}

/* Samples the level register without pause while no key is held: teclado
 * then waits for one with every row high (rows at one level drive nothing
 * into each other), and no column may be high on a keypad where no key is
 * closed. */
static int scan(int ms)
{
    uint32_t rowmask = 0, colmask = 0;
    for (int i = 0; i < 4; i++) {
        rowmask |= 1u << rows[i];
        colmask |= 1u << cols[i];
    }
    long samples = 0, waiting = 0, colhigh = 0;
    double end = now_ms() + ms;
    while (now_ms() < end) {
        uint32_t lev = gpio[GPLEV0];
        samples++;
        if (lev & colmask)
            colhigh++;
        if ((lev & rowmask) == rowmask)
            waiting++;
    }
    int ok = waiting == samples && colhigh == 0 && samples > 0;
    printf("%s rows: no key held, every row high in %ld of %ld samples over %d ms; "
           "a column high %ld\n", ok ? "PASS" : "FAIL", waiting, samples, ms, colhigh);
    return !ok;
}

/* A closed key: the column follows its row, since the key joins the two
 * (its pull-down keeps it low otherwise). While it is held teclado scans:
 * each row high alone, in the order 0 1 2 3 0 ..., which the probe checks
 * as it looks. teclado samples the column 1 ms
 * after it selects a row, so the column must have followed well before. A
 * probe that merely shares the one guest CPU with teclado runs only when the
 * scheduler picks it, and once picked too late the column still shows the
 * previous row: a ghost key. So the probe takes a real-time priority and
 * looks every 100 us: each wake-up preempts teclado at once, and between
 * them teclado has the CPU. Then the key opens: column low. */
static int key(int row, int col, int ms)
{
    struct sched_param prio = {.sched_priority = 50};
    if (sched_setscheduler(0, SCHED_FIFO, &prio) != 0) {
        printf("FAIL key: SCHED_FIFO refused (errno %d)\n", errno);
        return 1;
    }
    const struct timespec pause = {0, 100000};
    uint32_t r = 1u << row, c = 1u << col;
    long follows = 0, selections = 0, outoforder = 0;
    int last = -1;
    double end = now_ms() + ms;
    while (now_ms() < end) {
        uint32_t lev = gpio[GPLEV0];
        int high = -1, n = 0;
        for (int i = 0; i < 4; i++)
            if (lev & (1u << rows[i])) {
                high = i;
                n++;
            }
        if (n == 1 && high != last) {
            // The first row alone is the one the wait's end left high:
            // the scan starts from row 0 after it.
            if (selections >= 2 && high != (last + 1) % 4)
                outoforder++;
            last = high;
            selections++;
        }
        if ((lev & r) && !(lev & c)) {
            gpio[GPSET0] = c;
            follows++;
        } else if (!(lev & r) && (lev & c)) {
            gpio[GPCLR0] = c;
            follows++;
        }
        nanosleep(&pause, NULL);
    }
    gpio[GPCLR0] = c;
    int ok = follows > 0 && selections >= 8 && outoforder == 0;
    printf("%s scan: key BCM %d - BCM %d closed %d ms, column moved %ld times, "
           "%ld row selections, out of order %ld\n",
           ok ? "PASS" : "FAIL", row, col, ms, follows, selections, outoforder);
    return !ok;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "claims") == 0)
        return claims();
    map_gpio();
    if (argc == 3 && strcmp(argv[1], "scan") == 0)
        return scan(atoi(argv[2]));
    if (argc == 5 && strcmp(argv[1], "key") == 0)
        return key(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: probe claims | scan MS | key ROW COL MS\n");
    return 2;
}
