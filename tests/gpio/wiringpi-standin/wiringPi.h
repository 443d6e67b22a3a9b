/*
 * Stand-in for the board's wiringPi header, for building teclado with
 * TECLADO_GPIO=wiringpi on a PC (stage wiringpi of scripts/test.sh). It
 * declares only what teclado calls, with the names, values and signatures
 * of the real library's header, so that the build proves the program
 * compiles and links against that interface.
 */
#ifndef WIRINGPI_STANDIN_H
#define WIRINGPI_STANDIN_H

#define INPUT 0
#define OUTPUT 1

#define LOW 0
#define HIGH 1

#define PUD_OFF 0
#define PUD_DOWN 1
#define PUD_UP 2

#ifdef __cplusplus
extern "C" {
#endif

extern int wiringPiSetup (void);
extern void pinMode (int pin, int mode);
extern void pullUpDnControl (int pin, int pud);
extern void digitalWrite (int pin, int value);
extern int digitalRead (int pin);
extern void delay (unsigned int howLong);

#ifdef __cplusplus
}
#endif

#endif
