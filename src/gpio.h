// The six GPIO operations teclado needs, with wiringPi's names, values and
// C linkage, so the board's own libwiringPi can stand in for our backends.
// One source file per backend implements them; CMake picks one
// (TECLADO_GPIO).
#pragma once

#define INPUT 0
#define OUTPUT 1
#define PUD_DOWN 1
#define LOW 0
#define HIGH 1

extern "C" {
// Prepares the GPIO layer; returns 0 on success.
int wiringPiSetup(void);
// mode: INPUT or OUTPUT.
void pinMode(int pin, int mode);
// pud: PUD_DOWN is the only bias teclado asks for.
void pullUpDnControl(int pin, int pud);
void digitalWrite(int pin, int value);
// Returns the level read: LOW or HIGH (a backend may return anything else
// on a fault; callers treat it as neither).
int digitalRead(int pin);
// Pauses for at least ms milliseconds.
void delay(unsigned int ms);
}
