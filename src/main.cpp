// teclado: logs every press and release of a 4 x 4 matrix keypad to the
// console and to the table estado of the database embarcados. Runs until
// it is killed.
#include "argumentos.h"
#include "common/descritores.h"
#include "common/reclamar.h"
#include "gpio/gpio.h"
#include "opcoes.h"
#include "teclado.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

int main(int argc, char **argv)
{
    // First of all: a descriptor opened while 1 is closed would become the
    // console, and the database link would get the console's lines.
    if (reabrirdescritores(O_RDWR) != 0) {
        reclamar("/dev/null: %s", strerror(errno));
        return 1;
    }
    // Line-buffered even into a file, pipe or journal: the program only
    // ever stops by being killed, and a block buffer would lose its tail.
    static char buffer[BUFSIZ];
    setvbuf(stdout, buffer, _IOLBF, sizeof buffer);

    // Before SIGPIPE is ignored: teclado --help | head -1 ends quietly.
    int status = lerargumentos(argc, argv);
    if (status >= 0)
        return status;

    // A reader of the console that goes away (teclado | head -1, a closed
    // terminal) must not end the program: printing then fails and every
    // event is still recorded.
    signal(SIGPIPE, SIG_IGN);

    // A database option file the client library would misread: said once,
    // before a GPIO line is touched, rather than at every key.
    if (!conferir_opcoes_do_banco())
        return 1;

    // The GPIO chip and lines of a board that is not a Pi, if the file
    // names them: checked with the lines, before any is claimed.
    char chip[OPCOES_GPIO_MAX], linhas[OPCOES_GPIO_MAX];
    if (!ler_opcoes_do_gpio(chip, linhas) || gpio_escolher(chip, linhas) != 0)
        return 1;

    // Without its GPIO lines the scan would run blind for ever; exiting
    // lets a service manager see the failure and retry.
    if (iniciarteclado() != 0)
        return 1;
    for (;;) {
        varrerteclado();
        esperartecla();
    }
}
