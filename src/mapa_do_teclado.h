/* The keypad: the code of each key and the wire each row and column is on.
 * The scanner, the report, the chardev backend, the GPIO stand-ins and the
 * kernel probe include this header; CMake makes the scripts' and the
 * Python tests' copies from it at configure time
 * (cmake/mapa_do_teclado.cmake), reading the lines below as written: keep
 * one key row, and one wire, per line. The simulated keypad
 * (gpio/sim_keypad.cpp) has key codes of its own on purpose.
 *
 * Plain C as well: tests/kernel/probe.c includes it. */
#ifndef MAPA_DO_TECLADO_H
#define MAPA_DO_TECLADO_H

/* The code each key prints and stores, row L by row, column C by column:
 * an initialiser of an int[4][4]. */
#define CODIGOS_DO_TECLADO { \
    {1, 2, 3, 14}, \
    {4, 5, 6, 24}, \
    {7, 8, 9, 34}, \
    {41, 0, 43, 44}, \
}

/* The wiring, one wire per line in the order of the wiringPi pins from 0,
 * as COLUNA(...) or LINHA(...): the columns in the order of C, the rows in
 * the order of L. Each gives
 *   - the wiringPi pin (wiringPi's own numbering, the one wiringPiSetup
 *     selects); the chardev backend and the GPIO stand-ins serve pins 0-7,
 *   - the same header pin's BCM GPIO number, which is its line offset on the
 *     SoC's GPIO chip on every Raspberry Pi (`gpio readall` shows both),
 *   - the line's names in the boards' device trees, the one preferred
 *     first, the other else 0: the chardev backend looks the lines up by
 *     name only on a chip it does not know (Debian's trees call BCM 4
 *     GPIO_GCLK on most boards and GPIO4 on the compute module I/O boards,
 *     BCM 27 CAM_GPIO0 on the first Model A).
 * To wire the keypad otherwise, change the numbers here. */
#define FIOS_DO_TECLADO(COLUNA, LINHA) \
    COLUNA(0, 17, "GPIO17", 0) \
    COLUNA(1, 18, "GPIO18", 0) \
    COLUNA(2, 27, "GPIO27", "CAM_GPIO0") \
    COLUNA(3, 22, "GPIO22", 0) \
    LINHA(4, 23, "GPIO23", 0) \
    LINHA(5, 24, "GPIO24", 0) \
    LINHA(6, 25, "GPIO25", 0) \
    LINHA(7, 4, "GPIO4", "GPIO_GCLK")

/* For FIOS_DO_TECLADO: a wire's wiringPi pin, its BCM number, or nothing,
 * each followed by a comma, to make an initialiser. */
#define FIO_PINO(pino, bcm, nome, outro_nome) pino,
#define FIO_BCM(pino, bcm, nome, outro_nome) bcm,
#define FIO_NADA(pino, bcm, nome, outro_nome)

#ifdef __cplusplus
/* Whether the wires are on the wiringPi pins 0 to n - 1, in order: the
 * chardev backend and the GPIO stand-ins, which number their pins from 0,
 * need it. */
constexpr bool fios_nos_pinos_0_a(int n)
{
    const int pinos[] = {FIOS_DO_TECLADO(FIO_PINO, FIO_PINO)};
    if (static_cast<int>(sizeof pinos / sizeof pinos[0]) != n)
        return false;
    for (int i = 0; i < n; i++)
        if (pinos[i] != i)
            return false;
    return true;
}
#endif

#endif
