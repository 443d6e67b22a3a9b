// Test interface of the simulated keypad backend (TECLADO_GPIO=sim).
// In-process tests use it to set key states, force odd readings and record
// every GPIO call; the program itself never calls it.
#pragma once

enum sim_op { SIM_SETUP, SIM_PIN_MODE, SIM_PULL, SIM_WRITE, SIM_READ, SIM_DELAY };

// One recorded GPIO call. For SIM_READ, value is what the read returned;
// for SIM_DELAY, pin is 0 and value the milliseconds.
struct sim_call {
    sim_op op;
    int pin;
    int value;
};

// Closes (closed = true) or opens the key at row, column of the matrix.
void sim_set_key(int row, int column, bool closed);
// Makes every later read of pin return value, whatever the matrix says.
void sim_force_reading(int pin, int value);
// Back to a released keypad: every key open, nothing forced, no trace; the
// pin set-up and levels are kept.
void sim_reset(void);
// Key actions are read from fd (standard input by default); -1 reads none.
// The caller keeps fd open while the backend uses it.
void sim_set_input(int fd);
// Records every later GPIO call into calls[0..capacity-1], owned by the
// caller and kept until sim_trace(nullptr, 0); calls past capacity are
// counted but not stored.
void sim_trace(sim_call *calls, int capacity);
int sim_trace_length(void);
