#!/usr/bin/env python3
"""The real teclado binary fed key actions the simulated keypad must refuse,
a contact that bounces, against the shared private server
(MYSQL_UNIX_PORT), and command lines a careless user types.

usage: keypad_input.py CASE [emulator ...] path/to/teclado
CASE: bad-input | bounce | arguments
"""
import os
import statistics
import subprocess
import sys
import time

from teclado_run import (START_LINE, Teclado, check, check_console, check_rows, cpu_ns, drive,
                         run_case, sql, wait_rows)

WORD = "comando desconhecido '{}' (use press K, release K ou wait MS)"
NUMBER = "'{}' pede um numero inteiro, e nada depois dele"
from mapa_do_teclado import UNKNOWN_KEY as KEY  # made from src/mapa_do_teclado.h
LONG = "linha com mais de 80 caracteres; ignorada"
BYTES = "a linha tem bytes que nao sao texto; ignorada"

# Each input line and the complaint it must get, if any. The good lines in
# between must still act; the last line has no newline.
BAD_INPUT = [
    (b"# the longest line taken is 80 characters", None),
    (b"press 5" + b" " * 73, None),
    (b"wait 60", None),
    (b"release 5" + b" " * 72, LONG),
    # Longer than one read of the input: still one line, one complaint.
    (b"release 5 " + b"x" * 5000, LONG),
    (b"wait 60", None),
    (b"PRESS 6", WORD.format("PRESS")),
    (b"pressed 6", WORD.format("pressed")),
    (b"6", WORD.format("6")),
    (b"press 10", KEY.format("10")),
    (b"release 45", KEY.format("45")),
    (b"press 1234567890", NUMBER.format("press")),
    (b"press -1", NUMBER.format("press")),
    (b"press 5x", NUMBER.format("press")),
    (b"press", NUMBER.format("press")),
    (b"press 6 6", NUMBER.format("press")),
    (b"wait", NUMBER.format("wait")),
    (b"wait 1e3", NUMBER.format("wait")),
    (b"press 6\x7f", BYTES),
    (b"press 6\x1b[2J", BYTES),
    # A NUL is a byte like the others, not the end of the line.
    (b"press 6\x00", BYTES),
    (b"\x00press 6", BYTES),
    (b"press \x006", BYTES),
    (bytes(range(1, 10)), BYTES),
    (bytes(range(128, 188)), BYTES),
    (b"\xc3\xa9 press 6", BYTES),
    # A Windows line end, blank lines and comments are no faults.
    (b"release 5\r", None),
    (b"wait 60", None),
    (b" \t ", None),
    (b"", None),
    (b"   # an indented comment", None),
    (b"press\t000000041", None),
    (b"wait 60", None),
    (b"release 41", None),
    (b"wait 60", None),
    (b"press 7", None),
    (b"wait 60", None),
    (b"release 7", None),
    (b"wait 60", None),
    (b"press 8", None),
    (b"press 99", KEY.format("99")),
]
BAD_INPUT_ACTIONS = ["press 5", "release 5", "press 41", "release 41", "press 7", "release 7",
                     "press 8"]


def bad_input(command):
    """Every bad line gets its own message on standard error with its line
    number; the program goes on scanning and its console holds only its own
    lines."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    program = Teclado(command, socket)
    idle = float("nan")  # not measured if the run failed before
    try:
        program.send(b"\n".join(line for line, _ in BAD_INPUT))
        program.proc.stdin.close()
        count = len(BAD_INPUT_ACTIONS)
        check(program.wait(lambda t: t.statuses >= count, 30),
              f"{program.statuses} events recorded, expected {count}")
        wait_rows(socket, count)
        # Still scanning after the end of its input, with nothing more to
        # say, and sleeping through its pauses rather than spinning.
        cpu, started = cpu_ns(program.proc.pid), time.monotonic_ns()
        time.sleep(1.0)
        idle = (cpu_ns(program.proc.pid) - cpu) / (time.monotonic_ns() - started)
        check(idle < 0.1, f"idle at the end of its input, it used {idle:.0%} of a processor")
    finally:
        running = program.stop()
    events = check_console(program, BAD_INPUT_ACTIONS, running, stderr_empty=False)
    lost = check_rows(socket, events)
    complaints = program.err.decode("ascii", "replace").splitlines()
    wanted = [f"teclado: entrada, linha {n}: {complaint}"
              for n, (_, complaint) in enumerate(BAD_INPUT, 1) if complaint]
    check(complaints == wanted,
          "standard error:\n  " + "\n  ".join(complaints) + "\nexpected:\n  " + "\n  ".join(wanted))
    print(f"figure: bad input: {len(BAD_INPUT)} lines, {len(complaints)} complaints, "
          f"{len(events)} events, rows lost: {lost}, idle at end of input: {idle:.1%} of a processor")


BOUNCES = 30


def bounce(command):
    """One contact closing and opening again and again: the scanner has no
    debounce, so every change seen at a visit is an event, and each is
    stored, in order. Each change goes in as soon as the one before is
    reported, the fastest bounce a scan can see at all: at a fixed pace, a
    recording that outlasts it (slower under qemu-arm) would let a close
    and an open both pass unseen, and no scanner could tell."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    actions = ["press 5", "release 5"] * BOUNCES
    program = Teclado(command, socket)
    try:
        drive(program, actions, seconds=30, finished=False)
        check(program.wait(lambda t: t.statuses >= len(actions), 30),
              f"{program.statuses} events recorded, expected {len(actions)}")
        wait_rows(socket, len(actions))
        time.sleep(0.2)  # nothing more may come
    finally:
        running = program.stop()
    events = check_console(program, actions, running)
    lost = check_rows(socket, events)
    times = [program.arrived[e["line"]] for e in events]
    gaps = [(b - a) * 1000 for a, b in zip(times, times[1:])]
    median = statistics.median(gaps) if gaps else 0
    print(f"figure: bounce: {len(actions)} changes of key 5, each once the one before was "
          f"reported: {len(events)} events, median {median:.1f} ms apart, rows lost: {lost}")


USAGE = "teclado: uso: teclado [--help | --version]\n"
# Each command line, the file its standard output goes to (None: a pipe),
# and the status, standard output and standard error it must get. HELP: the
# help text, checked apart.
HELP = None
ARGUMENTS = [
    (["--help"], None, 0, HELP, ""),
    (["--version"], None, 0, f"teclado {os.environ.get('TECLADO_VERSION')}\n", ""),
    (["--help", "extra"], None, 2, "", USAGE),
    (["--version", "--help"], None, 2, "", USAGE),
    (["-h"], None, 2, "", USAGE),
    (["--hel"], None, 2, "", USAGE),
    (["--verbose"], None, 2, "", USAGE),
    ([""], None, 2, "", USAGE),
    # An answer that could not be written is no success.
    (["--help"], "/dev/full", 1, "", "teclado: saida padrao: No space left on device\n"),
]


def arguments(command):
    """--help and --version answer and exit; any other command line gets one
    usage line and status 2, before the start line and any GPIO call: the
    program must not start scanning on a typo."""
    for args, into, status, out, err in ARGUMENTS:
        what = f"teclado {' '.join(repr(a) for a in args)}" + (f" > {into}" if into else "")
        try:
            with open(into or os.devnull, "w") as sink:
                run = subprocess.run(command + args, stdin=subprocess.DEVNULL,
                                     stdout=sink if into else subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, timeout=5)
        except subprocess.TimeoutExpired:
            check(False, f"{what}: still running after 5 s, scanning the keypad")
            continue
        got = run.stdout or ""
        check(run.returncode == status, f"{what}: status {run.returncode}, expected {status}")
        check(run.stderr == err, f"{what}: standard error {run.stderr!r}, expected {err!r}")
        if out is not HELP:
            check(got == out, f"{what}: standard output {got!r}, expected {out!r}")
        else:
            # The help: usage first, and where the settings come from.
            check(got.startswith(USAGE.split(": ", 1)[1]) and START_LINE not in got
                  and all(w in got for w in ("/etc/teclado/teclado.cnf", "TECLADO_CONFIG",
                                             "[teclado]")),
                  f"{what}: help text {got!r}")


CASES = {"bad-input": bad_input, "bounce": bounce, "arguments": arguments}


if __name__ == "__main__":
    sys.exit(run_case(CASES, __doc__))
