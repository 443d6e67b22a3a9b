// Times quiet scan passes on the simulated keypad: no key closed and no
// input read, so a pass is the four row pauses plus the pin traffic. Beside
// them, in the same run and interleaved with them, the floor: the four
// pauses alone. Prints every sample in nanoseconds on standard error,
// "pass N" or "floor N"; bench/bench.py makes the figures.
//
// Then the processor time of an idle keypad for IDLE_MS each, in parts per
// million of a core ("idle_poll N", "idle_wait N"): scanning without pause
// as the program did before it waited for a key, and scanning then waiting
// as it does now, each until a key closes at the end, its input a pipe.
//
// usage: scan_bench SAMPLES IDLE_MS
#include "config.h"
#include "gpio/gpio.h"
#include "gpio/sim.h"
#include "teclado.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int MAX_SAMPLES = 100000;
long long pass_ns[MAX_SAMPLES];
long long floor_ns[MAX_SAMPLES];
int events;

long long cpu_ns()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The processor's share, in ppm, of scanning (with esperar, then waiting)
// until key 1 closes ms milliseconds from now; then lets it go again.
long long idle_ppm(int ms, bool esperar)
{
    int fds[2];
    char actions[64];
    int n = snprintf(actions, sizeof actions, "wait %d\npress 1\n", ms);
    if (pipe(fds) != 0 || write(fds[1], actions, n) != n)
        exit(1);
    sim_definir_entrada(fds[0]);
    long long cpu0 = cpu_ns(), t0 = sim_agora_ns();
    while (flag[0][0] == 0) {
        varrerteclado();
        if (esperar)
            esperartecla();
    }
    long long cpu = cpu_ns() - cpu0, wall = sim_agora_ns() - t0;
    sim_definir_entrada(-1);
    close(fds[0]);
    close(fds[1]);
    sim_mudar_tecla(0, 0, false);
    varrerteclado();
    return cpu * 1000000 / wall;
}

} // namespace

// A quiet keypad has no events; one here means the pass timed a recording
// too, so it is counted and the run is refused.
void inserirnatabela(int, const char *, const char *, int) { events++; }

int main(int argc, char **argv)
{
    int samples = argc == 3 ? atoi(argv[1]) : 0;
    int idle_ms = argc == 3 ? atoi(argv[2]) : 0;
    if (samples < 1 || samples > MAX_SAMPLES || idle_ms < 1) {
        fprintf(stderr, "usage: scan_bench SAMPLES (1 to %d) IDLE_MS\n", MAX_SAMPLES);
        return 2;
    }
    sim_definir_entrada(-1);
    iniciarteclado();
    // Warm-up: caches, page faults and the first row selections.
    for (int i = 0; i < 50; i++)
        varrerteclado();
    for (int i = 0; i < samples; i++) {
        long long t0 = sim_agora_ns();
        varrerteclado();
        long long t1 = sim_agora_ns();
        for (int r = 0; r < 4; r++)
            delay(PAUSA_MS);
        long long t2 = sim_agora_ns();
        pass_ns[i] = t1 - t0;
        floor_ns[i] = t2 - t1;
    }
    if (events != 0) {
        fprintf(stderr, "scan_bench: %d events on a quiet keypad\n", events);
        return 1;
    }
    long long poll_ppm = idle_ppm(idle_ms, false);
    long long wait_ppm = idle_ppm(idle_ms, true);
    // Key 1 pressed and released once in each.
    if (events != 4) {
        fprintf(stderr, "scan_bench: %d events for the two idle runs' 4\n", events);
        return 1;
    }
    for (int i = 0; i < samples; i++)
        fprintf(stderr, "pass %lld\nfloor %lld\n", pass_ns[i], floor_ns[i]);
    fprintf(stderr, "idle_poll %lld\nidle_wait %lld\n", poll_ppm, wait_ppm);
    return 0;
}
