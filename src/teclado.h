// Keypad input: the scanner and the key event report.
#pragma once

#include <sys/time.h>

// Key code of the key at row L, column C; fixed.
extern const int Teclado[4][4];
// Press state of each key: 0 released, 1 pressed. Zero at start.
extern int flag[4][4];
// Scan position: the row and column under scan.
extern int L, C;
// Time of day of the latest transition.
extern struct timeval on;

// Prints the start line, initialises the GPIO layer and configures the
// eight pins. Levels are left alone: the first scan pass drives the rows.
// Returns 0, or wiringPiSetup()'s result when that fails, with no pin
// configured (the GPIO layer has already said why).
int iniciarteclado(void);

// One scan pass over the 16 keys, row-major; reports every transition it
// finds. Returns when the pass is over, or, where the GPIO backend can
// wait for a key (esperartecla), once a release leaves no key held.
void varrerteclado(void);

// With no key held, sleeps until a key closes; returns at once while one
// is held, or when the GPIO backend cannot wait (it is then polled). To be
// called after a pass, whose rows it leaves as it found them.
void esperartecla(void);

// Reports one transition of the key with code tecla (pressionada: a press,
// else a release) on standard output, then has it recorded.
void reportarevento(int tecla, bool pressionada);
