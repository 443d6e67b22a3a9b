// The simulated keypad's wiring and its key actions.
//
// It models the wiring electrically: a key joins its row line to its column
// line, rows are driven by output pins and columns are inputs. A column
// reads HIGH when a closed key joins it to a row that is driven high; an
// open column reads LOW only if its pull-down was enabled, since a floating
// input picks up noise (modelled as HIGH, the worst case for a scanner).
//
// Input, one action per line:  press K | release K | wait MS
// (K is a key code as the program prints it; blank lines and lines starting
// with '#' are ignored). Input is only taken during a pause, with poll(), so
// it never blocks the scan and the pause is spent waiting for input anyway.
//
// The keypad is wired to the pins mapa_do_teclado.h gives the scanner, as a
// board is wired to match its build; only the key codes are its own (see
// below).
#include "sim.h"

#include "common/reclamar.h"
#include "gpio.h"
#include "mapa_do_teclado.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int LINHAS = 4;
constexpr int COLUNAS = 4;

// The longest input line it accepts.
constexpr int SIM_LINHA_MAX = 80;

// The wiringPi pin of each row and of each column.
static_assert(fios_nos_pinos_0_a(SIM_PINOS), "the simulated keypad serves pins 0 to 7");
const int pino_da_linha[LINHAS] = {FIOS_DO_TECLADO(FIO_NADA, FIO_PINO)};
const int pino_da_coluna[COLUNAS] = {FIOS_DO_TECLADO(FIO_PINO, FIO_NADA)};

// Which key code sits where on the keypad. Kept apart on purpose from the
// codes the scanner takes from mapa_do_teclado.h, like the unknown key's
// message below: a wrong entry there then shows as a wrong printed code,
// which a copy of the same table could not show.
const int codigo_da_tecla[LINHAS][COLUNAS] = {
    {1, 2, 3, 14},
    {4, 5, 6, 24},
    {7, 8, 9, 34},
    {41, 0, 43, 44},
};

int modo[SIM_PINOS] = {-1, -1, -1, -1, -1, -1, -1, -1};
bool puxada_para_baixo[SIM_PINOS];
int nivel[SIM_PINOS];
bool fechada[LINHAS][COLUNAS];

bool pino_valido(int pino) { return pino >= 0 && pino < SIM_PINOS; }

// ---- key actions from the input ----

int entrada = STDIN_FILENO;
bool fim_da_entrada;
char bloco[512];
size_t bloco_pos, bloco_tam;
char linha[SIM_LINHA_MAX + 1];
size_t linha_tam;
bool linha_longa;
unsigned long linha_num;
// Monotonic time, in ns, before which no further line is applied ('wait').
long long espera_ate;

timespec para_timespec(long long ns)
{
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

bool em_espera() { return sim_agora_ns() < espera_ate; }

// Names the line of the input at fault before the message.
__attribute__((format(printf, 1, 2))) void reclamar_da_entrada(const char *formato, ...)
{
    char assunto[48]; // room for any unsigned long
    snprintf(assunto, sizeof assunto, "entrada, linha %lu", linha_num);
    va_list argumentos;
    va_start(argumentos, formato);
    reclamar_sobre(assunto, formato, argumentos);
    va_end(argumentos);
}

// Parses a whole decimal number of at most 9 digits; false otherwise.
bool ler_numero(const char *texto, long *numero)
{
    size_t n = strlen(texto);
    if (n == 0 || n > 9 || strspn(texto, "0123456789") != n)
        return false;
    *numero = strtol(texto, nullptr, 10);
    return true;
}

bool achar_tecla(long codigo, int *l, int *c)
{
    for (int i = 0; i < LINHAS; i++)
        for (int j = 0; j < COLUNAS; j++)
            if (codigo_da_tecla[i][j] == codigo) {
                *l = i;
                *c = j;
                return true;
            }
    return false;
}

// Set by a press or release applied, for the pause to look at.
bool mudou;

// texto holds tamanho bytes and a terminator; a NUL inside it is one more
// byte that is not text, not the end of the line.
void aplicar(char *texto, size_t tamanho)
{
    for (size_t i = 0; i < tamanho; i++) {
        unsigned char b = static_cast<unsigned char>(texto[i]);
        if (b == '\t' || b == '\r')
            texto[i] = ' ';
        else if (b < 0x20 || b > 0x7e) {
            reclamar_da_entrada("a linha tem bytes que nao sao texto; ignorada");
            return;
        }
    }
    char *palavra = strtok(texto, " ");
    if (palavra == nullptr || palavra[0] == '#')
        return;
    char *argumento = strtok(nullptr, " ");
    char *sobra = strtok(nullptr, " ");
    bool tecla = strcmp(palavra, "press") == 0 || strcmp(palavra, "release") == 0;
    if (!tecla && strcmp(palavra, "wait") != 0) {
        reclamar_da_entrada("comando desconhecido '%s' (use press K, release K ou wait MS)",
                            palavra);
        return;
    }
    long numero;
    if (argumento == nullptr || sobra != nullptr || !ler_numero(argumento, &numero)) {
        reclamar_da_entrada("'%s' pede um numero inteiro, e nada depois dele", palavra);
        return;
    }
    if (!tecla) {
        espera_ate = sim_agora_ns() + numero * 1000000LL;
        return;
    }
    int l, c;
    if (!achar_tecla(numero, &l, &c)) {
        reclamar_da_entrada("tecla desconhecida %s (as teclas sao 0-9, 14, 24, 34, 41, 43 e 44)",
                            argumento);
        return;
    }
    fechada[l][c] = palavra[0] == 'p';
    mudou = true;
}

void fechar_linha()
{
    linha_num++;
    if (linha_longa) {
        reclamar_da_entrada("linha com mais de %d caracteres; ignorada", SIM_LINHA_MAX);
    } else {
        linha[linha_tam] = '\0';
        aplicar(linha, linha_tam);
    }
    linha_tam = 0;
    linha_longa = false;
}

// Applies the lines already read, up to the end of what was read, to a
// 'wait' that has not run out yet, or to a key's change: each change is
// seen by itself, as a GPIO line would show it.
void consumir()
{
    mudou = false;
    while (bloco_pos < bloco_tam && !em_espera() && !mudou) {
        char b = bloco[bloco_pos++];
        if (b == '\n')
            fechar_linha();
        else if (linha_tam < static_cast<size_t>(SIM_LINHA_MAX))
            linha[linha_tam++] = b;
        else
            linha_longa = true;
    }
    // A last line without its newline still counts once the input ends.
    if (fim_da_entrada && bloco_pos == bloco_tam && (linha_tam > 0 || linha_longa) && !em_espera() &&
        !mudou)
        fechar_linha();
}

// Waits for input until the monotonic time ate (ns) at the latest, and
// reads what has come.
void ler_bloco(long long ate)
{
    timespec falta = para_timespec(std::max(ate - sim_agora_ns(), 0LL));
    pollfd p = {entrada, POLLIN, 0};
    if (ppoll(&p, 1, &falta, nullptr) <= 0)
        return;
    if (p.revents & POLLNVAL) {
        fim_da_entrada = true;
        return;
    }
    ssize_t n = read(entrada, bloco, sizeof bloco);
    if (n > 0) {
        bloco_pos = 0;
        bloco_tam = static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        fim_da_entrada = true;
    }
}

} // namespace

long long sim_agora_ns(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void sim_pino_modo(int pino, int modo_novo)
{
    if (pino_valido(pino))
        modo[pino] = modo_novo;
}

void sim_pino_puxada(int pino, bool para_baixo)
{
    if (pino_valido(pino))
        puxada_para_baixo[pino] = para_baixo;
}

void sim_pino_nivel(int pino, int nivel_novo)
{
    if (pino_valido(pino))
        nivel[pino] = nivel_novo;
}

int sim_pino_ler(int pino)
{
    if (!pino_valido(pino))
        return LOW;
    if (modo[pino] == OUTPUT)
        return nivel[pino];
    for (int c = 0; c < COLUNAS; c++) {
        if (pino_da_coluna[c] != pino)
            continue;
        bool ligada = false;
        for (int l = 0; l < LINHAS; l++) {
            int linha_pino = pino_da_linha[l];
            if (fechada[l][c] && modo[linha_pino] == OUTPUT && nivel[linha_pino] == HIGH)
                ligada = true;
        }
        return ligada || !puxada_para_baixo[pino] ? HIGH : LOW;
    }
    return puxada_para_baixo[pino] ? LOW : HIGH;
}

bool sim_entrada_alta(void)
{
    for (int pino = 0; pino < SIM_PINOS; pino++)
        if (modo[pino] == INPUT && sim_pino_ler(pino) == HIGH)
            return true;
    return false;
}

void sim_pausar_ate(long long fim, bool (*parar)(void))
{
    for (;;) {
        if (entrada >= 0)
            consumir();
        if (parar != nullptr && parar())
            return;
        long long agora = sim_agora_ns();
        if (agora >= fim)
            return;
        if (agora >= espera_ate && bloco_pos < bloco_tam)
            continue; // a wait ran out with lines still to apply
        if (agora >= espera_ate && entrada >= 0 && !fim_da_entrada) {
            ler_bloco(fim);
        } else {
            // Nothing to read: sleep to the end of a pending wait or of the
            // pause, never spin (input at its end is the usual idle state).
            timespec acordar = para_timespec(espera_ate > agora ? std::min(espera_ate, fim) : fim);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &acordar, nullptr);
        }
    }
}

void sim_mudar_tecla(int l, int c, bool fechar) { fechada[l][c] = fechar; }

void sim_definir_entrada(int fd)
{
    entrada = fd;
    fim_da_entrada = false;
    bloco_pos = bloco_tam = 0;
    linha_tam = 0;
    linha_longa = false;
    linha_num = 0;
    espera_ate = 0;
}
