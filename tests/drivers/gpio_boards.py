#!/usr/bin/env python3
"""The chardev build on every board of tests/gpio/boards: each Raspberry Pi
tree of Debian 12's kernels and the two Pi 5 layouts, with the SoC's chip
known by its label and, again, with that label unknown so that the lines
are found by their names. On each, the eight lines must be claimed on the
SoC's chip at their BCM numbers, rows as outputs driven low and columns as
inputs pulled down from the request on, and nothing else claimed. The
stand-in GPIO device (LD_PRELOAD) writes every request and configuration
to FAKE_GPIO_CLAIMS.

usage: gpio_boards.py teclado-command...
"""
import glob
import os
import subprocess
import sys
import tempfile
import time

from teclado_run import ROOT, check, finish

TECLADO = sys.argv[1:]
BOARDS = sorted(glob.glob(os.path.join(ROOT, "tests", "gpio", "boards", "*.chips")))
from mapa_do_teclado import COLUMNS, ROWS  # made from src/mapa_do_teclado.h
# What the requests set, and each line's state once the pins are set up.
WANTED = {**{o: "input pull-down 0" for o in COLUMNS}, **{o: "output as-is 0" for o in ROWS}}
# 8 requests; then pinMode on the rows and the columns and a pull on each column.
ENTRIES = 8 + 12


def soc_chip(board):
    with open(board) as f:
        return next(int(line.split()[1]) for line in f
                    if line.startswith("chip ") and line.split()[2].startswith("pinctrl-"))


def claims(board, fault, log):
    """Runs teclado on the board until its pins are set up; returns (still
    running, stderr, the claims log's entries)."""
    env = dict(os.environ, FAKE_GPIO_BOARD=board, FAKE_GPIO_FAULT=fault, FAKE_GPIO_CLAIMS=log)
    # There before the program is, which may take a while to start (qemu-arm).
    open(log, "w").close()
    proc = subprocess.Popen(TECLADO, env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    entries = []
    while proc.poll() is None and len(entries) < ENTRIES and time.monotonic() < deadline:
        time.sleep(0.02)
        with open(log) as f:
            entries = f.read().splitlines()
    running = proc.poll() is None
    proc.kill()
    _, err = proc.communicate(timeout=10)
    with open(log) as f:
        return running, err, f.read().splitlines()


def main():
    check(len(BOARDS) >= 27, f"only {len(BOARDS)} board files")
    with tempfile.TemporaryDirectory() as work:
        for number, board in enumerate(BOARDS):
            chip = soc_chip(board)
            for fault in ("", "unknown-label"):
                name = f"{os.path.basename(board)} {fault or 'known label'}"
                log = os.path.join(work, f"{number}-{fault}")
                running, err, entries = claims(board, fault, log)
                check(running and not err, f"{name}: running {running}, stderr {err!r}")
                requests = sorted(e for e in entries if e.startswith("request "))
                wanted = sorted(f"request {chip} {o} {s}" for o, s in WANTED.items())
                check(requests == wanted, f"{name}: requests {requests}, expected {wanted}")
                final = {}
                for e in entries[:ENTRIES]:
                    _, c, offset, state = e.split(" ", 3)
                    final[(int(c), int(offset))] = state
                wanted = {(chip, o): s for o, s in WANTED.items()}
                check(final == wanted and len(entries) >= ENTRIES,
                      f"{name}: {len(entries)} entries, lines set up as {final}, expected {wanted}")
                # Then, idle, only the columns' edge reports switched on and off.
                idle = {f"config {chip} {o} input pull-down 0{edge}" for o in COLUMNS
                        for edge in ("", " rising")}
                check(set(entries[ENTRIES:]) <= idle, f"{name}: idle entries {entries[ENTRIES:]}")
        print(f"{len(BOARDS)} boards, each with its SoC's chip known and unknown")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
