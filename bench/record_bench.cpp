// Times the recorder, one call per event, against the server named by
// MYSQL_UNIX_PORT. Standard output is line-buffered as in the program, and
// the caller sends it to a file, as a service manager would. Prints every
// call's time in nanoseconds on standard error, "call N".
//
// usage: record_bench EVENTS
#include "recorder.h"
#include "gpio/sim.h"
#include "teclado.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int MAX_EVENTS = 100000;
long long call_ns[MAX_EVENTS];

} // namespace

int main(int argc, char **argv)
{
    int count = argc == 2 ? atoi(argv[1]) : 0;
    if (count < 1 || count > MAX_EVENTS) {
        fprintf(stderr, "usage: record_bench EVENTS (1 to %d)\n", MAX_EVENTS);
        return 2;
    }
    static char buffer[BUFSIZ];
    setvbuf(stdout, buffer, _IOLBF, sizeof buffer);
    time_t seconds = time(nullptr);
    char date[32];
    snprintf(date, sizeof date, "%s", ctime(&seconds));
    for (int i = 0; i < count; i++) {
        long long t0 = sim_agora_ns();
        inserirnatabela(Teclado[i % 16 / 4][i % 4], i % 2 == 0 ? "ON" : "OFF", date, i % 1000);
        call_ns[i] = sim_agora_ns() - t0;
    }
    for (int i = 0; i < count; i++)
        fprintf(stderr, "call %lld\n", call_ns[i]);
    return 0;
}
