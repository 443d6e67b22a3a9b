/*
 * Stand-in for the board's libwiringPi. There is no board on a PC, so
 * wiringPiSetup() fails as the real library does where it finds no
 * Raspberry Pi: a message on standard error and -1. The other calls do
 * nothing.
 */
#include "wiringPi.h"

#include <stdio.h>

int wiringPiSetup (void)
{
  fprintf (stderr, "wiringPi stand-in: no Raspberry Pi here\n");
  return -1;
}

void pinMode (int pin, int mode) { (void) pin; (void) mode; }

void pullUpDnControl (int pin, int pud) { (void) pin; (void) pud; }

void digitalWrite (int pin, int value) { (void) pin; (void) value; }

int digitalRead (int pin)
{
  (void) pin;
  return LOW;
}

void delay (unsigned int howLong) { (void) howLong; }
