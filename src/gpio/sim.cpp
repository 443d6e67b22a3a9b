// The sim backend, for a PC: the keypad of sim_keypad.cpp behind the six
// GPIO operations, driven by key actions read from standard input, with
// hooks for the in-process tests (sim.h).
#include "gpio.h"
#include "sim.h"

#include <climits>

namespace {

bool forcado[SIM_PINOS];
int valor_forcado[SIM_PINOS];

sim_chamada *rastro;
int rastro_capacidade;
int rastro_tamanho;

void registrar(sim_operacao operacao, int pino, int valor)
{
    if (rastro == nullptr)
        return;
    if (rastro_tamanho < rastro_capacidade)
        rastro[rastro_tamanho] = sim_chamada{operacao, pino, valor};
    rastro_tamanho++;
}

bool pino_valido(int pino) { return pino >= 0 && pino < SIM_PINOS; }

} // namespace

extern "C" {

int wiringPiSetup(void)
{
    registrar(SIM_INICIO, 0, 0);
    return 0;
}

void pinMode(int pin, int mode)
{
    registrar(SIM_MODO, pin, mode);
    sim_pino_modo(pin, mode);
}

void pullUpDnControl(int pin, int pud)
{
    registrar(SIM_PUXADA, pin, pud);
    sim_pino_puxada(pin, pud == PUD_DOWN);
}

void digitalWrite(int pin, int value)
{
    registrar(SIM_ESCRITA, pin, value);
    sim_pino_nivel(pin, value == LOW ? LOW : HIGH);
}

int digitalRead(int pin)
{
    int valor = pino_valido(pin) && forcado[pin] ? valor_forcado[pin] : sim_pino_ler(pin);
    registrar(SIM_LEITURA, pin, valor);
    return valor;
}

void delay(unsigned int ms)
{
    registrar(SIM_PAUSA, 0, static_cast<int>(ms));
    sim_pausar_ate(sim_agora_ns() + ms * 1000000LL);
}

} // extern "C"

void sim_forcar_leitura(int pino, int valor)
{
    forcado[pino] = true;
    valor_forcado[pino] = valor;
}

void sim_reiniciar(void)
{
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            sim_mudar_tecla(l, c, false);
    for (int pino = 0; pino < SIM_PINOS; pino++)
        forcado[pino] = false;
    rastro = nullptr;
    rastro_tamanho = 0;
}

void sim_rastrear(sim_chamada *chamadas, int capacidade)
{
    rastro = chamadas;
    rastro_capacidade = chamadas == nullptr ? 0 : capacidade;
    rastro_tamanho = 0;
}

int sim_tamanho_do_rastro(void) { return rastro_tamanho; }

// The simulated keypad has no chip to choose.
int gpio_escolher(const char *, const char *) { return 0; }

// Sleeps until the key action that raises a column: the program then costs
// nothing while no key is held, as on the board.
void esperarentrada(void)
{
    registrar(SIM_ESPERA, 0, 0);
    sim_pausar_ate(LLONG_MAX, sim_entrada_alta);
}
