// The six GPIO operations teclado needs, with wiringPi's names, values and
// C linkage, so the board's own libwiringPi can stand in for our backends.
// Each backend implements them in a file of its own here: sim.cpp,
// chardev.cpp, or, for wiringpi, the board's library as wiringpi.h brings
// it in. CMakeLists.txt here picks one (TECLADO_GPIO). The layer sits below
// the program: nothing in this folder includes the program's headers, only
// config.h for the settings and common/ for reporting failures.
#pragma once

#ifdef TECLADO_GPIO_WIRINGPI
#include "wiringpi.h"
#else
// The backend can sleep until a column rises (esperarentrada below).
constexpr bool GPIO_ESPERA_BORDAS = true;
#define INPUT 0
#define OUTPUT 1
#define PUD_OFF 0
#define PUD_DOWN 1
#define PUD_UP 2
#define LOW 0
#define HIGH 1
#endif

extern "C" {
// Prepares the GPIO layer; returns 0 on success. On failure a backend says
// why on standard error and returns something else.
int wiringPiSetup(void);
// mode: INPUT or OUTPUT.
void pinMode(int pin, int mode);
// pud: PUD_DOWN is the only bias teclado asks for.
void pullUpDnControl(int pin, int pud);
void digitalWrite(int pin, int value);
// Returns the level read: LOW or HIGH (a backend may return anything else
// on a fault; callers treat it as neither). The chardev backend instead
// says on standard error that the line failed and exits with status 1, on
// a failed read, write or pin set-up alike.
int digitalRead(int pin);
// Pauses for at least ms milliseconds.
void delay(unsigned int ms);
}

// Beyond wiringPi's operations, for a board that is not a Pi and for an
// idle keypad; wiringpi.h gives the wiringpi backend's.

// The option file's gpio-chip and gpio-lines ("" where it names none),
// for wiringPiSetup to find the lines by. Returns 0, or -1 having said why
// on standard error when the backend cannot use them.
int gpio_escolher(const char *chip, const char *linhas);

// Sleeps, with the rows driven as the caller left them, until an input pin
// reads HIGH: returns at once if one does, else at the first rising edge
// on one. The chardev backend sleeps in the kernel; the sim backend until
// its next key action.
void esperarentrada(void);
