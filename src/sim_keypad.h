// The simulated keypad: a 4 x 4 key matrix wired to the eight pins, and the
// key actions that close and open its keys. The sim backend presents it
// behind the six GPIO operations; the tests' stand-in for the kernel's GPIO
// device presents the same keypad behind the device's line requests.
#pragma once

constexpr int SIM_PINOS = 8;

// The pin's set-up as the GPIO layer last left it. Pins out of 0..7 are
// ignored.
void sim_pino_modo(int pin, int modo); // INPUT or OUTPUT
void sim_pino_puxada(int pin, bool para_baixo);
void sim_pino_nivel(int pin, int nivel); // LOW or HIGH, driven as an output

// The level the pin reads: LOW or HIGH (LOW for a pin out of 0..7).
int sim_pino_ler(int pin);

// The monotonic clock, in ns.
long long sim_agora_ns(void);

// Pauses until the monotonic time fim (ns), applying key actions from the
// input as they come in and as their waits run out.
void sim_pausar_ate(long long fim);
