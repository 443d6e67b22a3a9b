#!/usr/bin/env python3
"""Presses and releases each of the 16 keys in turn, then two keys of one
column in different rows together, on the real teclado binary, and checks
that the console reports exactly those keys: every row and column line must
be driven or read on the right pin, and a row must stop closing keys once
it is driven low again. No server is needed: every recording fails at once
(MYSQL_UNIX_PORT names no socket) and says so.

usage: every_key.py [emulator ...] path/to/teclado
"""
import os
import sys
import time

from teclado_run import (KEYS, NO_CONNECTION, START_LINE, Teclado, check, drive, finish, parse,
                         taps, transitions)


def main():
    program = Teclado(sys.argv[1:], os.environ["MYSQL_UNIX_PORT"])
    actions = taps(KEYS)
    drive(program, actions)
    # Keys 3 and 9 share column 2: with rows 0 and 2 both closing it, a row
    # left high would show as a press of 6 or 43 as well.
    for both in ("press 3\npress 9\n", "release 3\nrelease 9\n"):
        count = program.statuses + 2
        program.send(both)
        check(program.wait(lambda t: t.statuses >= count, 10), f"no two events for {both!r}")
    time.sleep(0.3)  # room for a late, unwanted event
    running = program.stop()

    events, strays = parse(program.lines)
    got = [(e["key"], e["state"]) for e in events]
    wanted = transitions(actions)
    check(running, f"teclado stopped by itself with status {program.proc.returncode}")
    check(program.lines[:1] == [START_LINE], f"first console line {program.lines[:1]}")
    check(not strays, f"console lines out of place: {strays[:5]}")
    # The two keys held together come in either order: that depends on the
    # row the scan was at when they closed.
    n = len(wanted)
    check(got[:n] == wanted and sorted(got[n:n + 2]) == [(3, "ON"), (9, "ON")]
          and sorted(got[n + 2:]) == [(3, "OFF"), (9, "OFF")],
          f"events {got}, expected {wanted} then 3 and 9 pressed and released together")
    check(all(e["status"] == [NO_CONNECTION] for e in events),
          "not every event was followed by its failed connection")
    check(not program.err, f"standard error: {program.stderr_lines()[:5]}")
    print(f"{len(got)} events seen, {n + 4} expected")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
