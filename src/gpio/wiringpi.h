// The wiringpi backend: the board's own libwiringPi is the GPIO layer, so
// this header is all of it. gpio.h includes it instead of its own numbers
// when TECLADO_GPIO=wiringpi. The library's header is then the reference:
// gpio.h's declarations must agree with it, and the numbers below with the
// ones the other backends use, or the build stops.
#pragma once

#include "common/reclamar.h"

#include <wiringPi.h>

static_assert(INPUT == 0 && OUTPUT == 1 && LOW == 0 && HIGH == 1,
              "wiringPi.h numbers modes and levels differently from teclado");
static_assert(PUD_OFF == 0 && PUD_DOWN == 1 && PUD_UP == 2,
              "wiringPi.h numbers the pulls differently from teclado");

// wiringPi's interrupt wait watches one pin per call (waitForInterrupt) or
// runs a thread per pin (wiringPiISR), through the sysfs GPIO interface
// that recent kernels no longer offer: with it the scanner keeps polling.
constexpr bool GPIO_ESPERA_BORDAS = false;
inline void esperarentrada(void) {}

// wiringPi numbers the header's pins itself and knows no other board.
inline int gpio_escolher(const char *chip, const char *linhas)
{
    if (chip[0] == '\0' && linhas[0] == '\0')
        return 0;
    reclamar("gpio-chip e gpio-lines valem so para o backend chardev; "
             "com wiringPi, os pinos sao os da placa");
    return -1;
}
