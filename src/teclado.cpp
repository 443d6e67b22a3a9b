// Keypad scanner and key event report.
//
// Wiring: a key joins its row line to its column line. Rows are outputs,
// columns inputs with pull-downs, so with one row driven high a closed key
// on that row pulls its column high and an open one leaves it low.
#include "teclado.h"

#include "config.h"
#include "console.h"
#include "gpio/gpio.h"
#include "mapa_do_teclado.h"
#include "recorder.h"

#include <ctime>

const int Teclado[4][4] = CODIGOS_DO_TECLADO;

int flag[4][4];
int L, C;
struct timeval on;

namespace {

// The wiringPi pin of row L and of column C.
const int pino_da_linha[4] = {FIOS_DO_TECLADO(FIO_NADA, FIO_PINO)};
const int pino_da_coluna[4] = {FIOS_DO_TECLADO(FIO_PINO, FIO_NADA)};

// The row every pass ends on, left high for the next pass to drive low.
constexpr int ULTIMA_LINHA = 3;

bool alguma_pressionada()
{
    for (int l = 0; l <= 3; l++)
        for (int c = 0; c <= 3; c++)
            if (flag[l][c] != 0)
                return true;
    return false;
}

} // namespace

int iniciarteclado(void)
{
    mostrarinicio();
    int resultado = wiringPiSetup();
    // With no usable line, configuring pins would only hide the failure.
    if (resultado != 0)
        return resultado;
    for (int l = 0; l <= 3; l++)
        pinMode(pino_da_linha[l], OUTPUT);
    for (int c = 0; c <= 3; c++)
        pinMode(pino_da_coluna[c], INPUT);
    for (int c = 0; c <= 3; c++)
        pullUpDnControl(pino_da_coluna[c], PUD_DOWN);
    return 0;
}

void varrerteclado(void)
{
    for (L = 0; L <= 3; L++) {
        // The previous row (row 3 before row 0) low first, so that two rows
        // are never high together.
        digitalWrite(pino_da_linha[(L + 3) % 4], LOW);
        digitalWrite(pino_da_linha[L], HIGH);
        // The row line and the columns joined to it must settle before the
        // columns are sampled.
        delay(PAUSA_MS);
        for (C = 0; C <= 3; C++) {
            if (digitalRead(pino_da_coluna[C]) == HIGH && flag[L][C] == 0) {
                flag[L][C] = 1;
                reportarevento(Teclado[L][C], true);
            }
            // A fresh reading: the key may have opened while the press was
            // being reported and recorded.
            if (digitalRead(pino_da_coluna[C]) == LOW && flag[L][C] == 1) {
                flag[L][C] = 0;
                reportarevento(Teclado[L][C], false);
            }
        }
    }
}

void esperartecla(void)
{
    if (!GPIO_ESPERA_BORDAS || alguma_pressionada())
        return;
    // Every row high, so that any key that closes raises its column. Rows
    // at one level drive no current into each other, however many keys
    // join them.
    for (int l = 0; l < ULTIMA_LINHA; l++)
        digitalWrite(pino_da_linha[l], HIGH);
    esperarentrada();
    // Row 0 alone left high, where the next pass starts: a key closed on
    // it stays joined to its column from the edge to the pass's reading.
    for (int l = 1; l <= 3; l++)
        digitalWrite(pino_da_linha[l], LOW);
}

void reportarevento(int tecla, bool pressionada)
{
    if (pressionada)
        mostrarpressao();
    // One reading for both the calendar text and the milliseconds: with
    // two, the second could turn over between them (and time() reads a
    // coarse clock that can lag a tick), stamping the event a second early.
    gettimeofday(&on, nullptr);
    time_t segundos = on.tv_sec;
    int ms = static_cast<int>(on.tv_usec / 1000);
    mostrarevento(tecla, pressionada, ctime(&segundos), ms);
    delay(PAUSA_MS);
    inserirnatabela(tecla, pressionada ? "ON" : "OFF", ctime(&segundos), ms);
}
