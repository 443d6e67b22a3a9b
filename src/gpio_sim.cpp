// Simulated keypad for a PC: the keypad of sim_keypad.cpp behind the six
// GPIO operations, driven by key actions read from standard input, with
// hooks for the in-process tests (gpio_sim.h).
#include "gpio.h"
#include "gpio_sim.h"
#include "sim_keypad.h"

namespace {

bool forcado[SIM_PINOS];
int valor_forcado[SIM_PINOS];

sim_call *rastro;
int rastro_capacidade;
int rastro_tamanho;

void registrar(sim_op op, int pin, int value)
{
    if (rastro == nullptr)
        return;
    if (rastro_tamanho < rastro_capacidade)
        rastro[rastro_tamanho] = sim_call{op, pin, value};
    rastro_tamanho++;
}

bool pino_valido(int pin) { return pin >= 0 && pin < SIM_PINOS; }

} // namespace

extern "C" {

int wiringPiSetup(void)
{
    registrar(SIM_SETUP, 0, 0);
    return 0;
}

void pinMode(int pin, int mode)
{
    registrar(SIM_PIN_MODE, pin, mode);
    sim_pino_modo(pin, mode);
}

void pullUpDnControl(int pin, int pud)
{
    registrar(SIM_PULL, pin, pud);
    sim_pino_puxada(pin, pud == PUD_DOWN);
}

void digitalWrite(int pin, int value)
{
    registrar(SIM_WRITE, pin, value);
    sim_pino_nivel(pin, value == LOW ? LOW : HIGH);
}

int digitalRead(int pin)
{
    int valor = pino_valido(pin) && forcado[pin] ? valor_forcado[pin] : sim_pino_ler(pin);
    registrar(SIM_READ, pin, valor);
    return valor;
}

void delay(unsigned int ms)
{
    registrar(SIM_DELAY, 0, static_cast<int>(ms));
    sim_pausar_ate(sim_agora_ns() + ms * 1000000LL);
}

} // extern "C"

void sim_force_reading(int pin, int value)
{
    forcado[pin] = true;
    valor_forcado[pin] = value;
}

void sim_reset(void)
{
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            sim_set_key(l, c, false);
    for (int pin = 0; pin < SIM_PINOS; pin++)
        forcado[pin] = false;
    rastro = nullptr;
    rastro_tamanho = 0;
}

void sim_trace(sim_call *calls, int capacity)
{
    rastro = calls;
    rastro_capacidade = calls == nullptr ? 0 : capacity;
    rastro_tamanho = 0;
}

int sim_trace_length(void) { return rastro_tamanho; }
