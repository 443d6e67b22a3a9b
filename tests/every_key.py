#!/usr/bin/env python3
"""Presses and releases each of the 16 keys in turn, then two keys of one
column in different rows together, on the real teclado binary, and checks
that the console reports exactly those keys in that order: every row and
column line must be driven or read on the right pin, and a row must stop
closing keys once it is driven low again. No server is needed: every
recording fails at once (MYSQL_UNIX_PORT names no socket) and says so.

usage: every_key.py teclado-command...
"""
import os
import re
import select
import signal
import subprocess
import sys
import time

TECLADO = sys.argv[1:]
CODES = [1, 2, 3, 14, 4, 5, 6, 24, 7, 8, 9, 34, 41, 0, 43, 44]
STEP_MS = 60


def keys_and_events():
    keys, events = [], []
    for code in CODES:
        keys += [f"press {code}", f"wait {STEP_MS}", f"release {code}", f"wait {STEP_MS}"]
        events += [f"{code} ON", f"{code} OFF"]
    # Keys 3 and 9 share column 2: with rows 0 and 2 both closing it, a row
    # left high would show as a press of 6 or 43 as well.
    keys += ["press 3", "press 9", f"wait {STEP_MS}", "release 3", "release 9"]
    events += ["3 ON", "9 ON", "3 OFF", "9 OFF"]
    return ("\n".join(keys) + "\n").encode(), events


def main():
    keys, events = keys_and_events()
    # The start line, then 4 lines an event: a press has "Estamos
    # conectados" first, a release an empty line after its report.
    wanted_lines = 1 + 4 * len(events)
    proc = subprocess.Popen(TECLADO, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(keys)
    proc.stdin.close()
    out = b""
    deadline = time.time() + 60
    while out.count(b"\n") < wanted_lines and time.time() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.1)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
    time.sleep(0.3)  # room for a late, unwanted event
    alive = proc.poll() is None
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=10)
    out += proc.stdout.read()
    err = proc.stderr.read()

    text = out.decode("ascii", "replace")
    seen = re.findall(r"^Botao (\d+) (ON|OFF) em: ", text, re.M)
    seen = [f"{code} {state}" for code, state in seen]
    failures = []
    if not alive:
        failures.append(f"teclado stopped by itself with status {proc.returncode}")
    # The two keys held together come in either order: that depends on which
    # row the scan was at when they closed.
    together = len(events) - 4
    if (seen[:together] != events[:together] or sorted(seen[together:-2]) != events[-4:-2]
            or sorted(seen[-2:]) != events[-2:]):
        failures.append(f"events {seen}, expected {events}")
    if text.count("Falha de conexao\n") != len(events):
        failures.append("not every event was followed by its failed connection")
    if err:
        failures.append(f"standard error: {err!r}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(seen)} events seen, {len(events)} expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
