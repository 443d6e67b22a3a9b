// Times quiet scan passes on the simulated keypad: no key closed and no
// input read, so a pass is the four row pauses plus the pin traffic. Beside
// them, in the same run and interleaved with them, the floor: the four
// pauses alone. Prints every sample in nanoseconds on standard error,
// "pass N" or "floor N"; bench/bench.py makes the figures.
//
// usage: scan_bench SAMPLES
#include "config.h"
#include "gpio/gpio.h"
#include "gpio/sim.h"
#include "teclado.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MAX_SAMPLES = 100000;
long long pass_ns[MAX_SAMPLES];
long long floor_ns[MAX_SAMPLES];
int events;

} // namespace

// A quiet keypad has no events; one here means the pass timed a recording
// too, so it is counted and the run is refused.
void inserirnatabela(int, const char *, const char *, int) { events++; }

int main(int argc, char **argv)
{
    int samples = argc == 2 ? atoi(argv[1]) : 0;
    if (samples < 1 || samples > MAX_SAMPLES) {
        fprintf(stderr, "usage: scan_bench SAMPLES (1 to %d)\n", MAX_SAMPLES);
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
    for (int i = 0; i < samples; i++)
        fprintf(stderr, "pass %lld\nfloor %lld\n", pass_ns[i], floor_ns[i]);
    return 0;
}
