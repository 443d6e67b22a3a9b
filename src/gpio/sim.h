// The simulated keypad: a 4 x 4 key matrix wired to the eight pins, and the
// key actions that close and open its keys.
//
// Two things present it. The sim backend (sim.cpp, TECLADO_GPIO=sim) puts it
// behind the six GPIO operations of gpio.h, with hooks for the in-process
// tests; the tests' stand-in for the kernel's GPIO device puts the keypad
// (sim_keypad.cpp) alone behind the device's line requests, so it must not
// need the backend.
#pragma once

constexpr int SIM_PINOS = 8;

// ---- The keypad (sim_keypad.cpp) ----

// The pin's set-up as the GPIO layer last left it. Pins out of 0..7 are
// ignored.
void sim_pino_modo(int pino, int modo); // INPUT or OUTPUT
void sim_pino_puxada(int pino, bool para_baixo);
void sim_pino_nivel(int pino, int nivel); // LOW or HIGH, driven as an output

// The level the pin reads: LOW or HIGH (LOW for a pin out of 0..7).
int sim_pino_ler(int pino);

// The monotonic clock, in ns.
long long sim_agora_ns(void);

// Pauses until the monotonic time fim (ns), applying key actions from the
// input as they come in and as their waits run out; with parar, also
// until parar() holds, asked at the start and after each key's change.
void sim_pausar_ate(long long fim, bool (*parar)(void) = nullptr);

// Whether a pin set up as an input reads HIGH.
bool sim_entrada_alta(void);

// Closes (fechar = true) or opens the key at linha, coluna of the matrix.
void sim_mudar_tecla(int linha, int coluna, bool fechar);

// Key actions are read from fd (standard input by default); -1 reads none.
// The caller keeps fd open while the keypad uses it.
void sim_definir_entrada(int fd);

// ---- Test hooks of the sim backend (sim.cpp) ----
// In-process tests use them to force odd readings and record every GPIO
// call; the program itself never calls them.

// The GPIO operation a recorded call was, in gpio.h's order.
enum sim_operacao { SIM_INICIO, SIM_MODO, SIM_PUXADA, SIM_ESCRITA, SIM_LEITURA, SIM_PAUSA, SIM_ESPERA };

// One recorded GPIO call. For SIM_LEITURA, valor is what the read returned;
// for SIM_PAUSA, pino is 0 and valor the milliseconds; for SIM_ESPERA
// (esperarentrada), both 0.
struct sim_chamada {
    sim_operacao operacao;
    int pino;
    int valor;
};

// Makes every later read of pino return valor, whatever the matrix says.
void sim_forcar_leitura(int pino, int valor);
// Back to a released keypad: every key open, nothing forced, no trace; the
// pin set-up and levels are kept.
void sim_reiniciar(void);
// Records every later GPIO call into chamadas[0..capacidade-1], owned by
// the caller and kept until sim_rastrear(nullptr, 0); calls past capacidade
// are counted but not stored.
void sim_rastrear(sim_chamada *chamadas, int capacidade);
// Calls recorded since sim_rastrear, stored or not.
int sim_tamanho_do_rastro(void);
