#!/usr/bin/env python3
"""The real teclado binary against the private MariaDB (MYSQL_UNIX_PORT):
each of the 16 keys, keys held together, a tap too short to be seen; its
console line by line, the dates, and the rows of estado byte for byte. In a
chardev build every key goes through the backend's own line and offset.

usage: end_to_end.py [emulator ...] path/to/teclado
"""
import os
import sys
import time

from teclado_run import (CONNECTED, KEYS, Teclado, check, check_rows, console_events, drive,
                         finish, sql, taps, transitions)

# Sent at once, so the scan sees each group's changes at one visit of the
# row. 0 and 44 share row 3: reported in column order, whatever the order
# sent. 3 and 9 share column 2 from rows 0 and 2: reported in the order the
# scan reaches their rows, so either. 1 pressed and released before its row
# comes round again: no event.
GROUPS = [("press 0\npress 44\n", [(0, "ON"), (44, "ON")]),
          ("release 44\nrelease 0\n", [(0, "OFF"), (44, "OFF")]),
          ("press 3\npress 9\n", {(3, "ON"), (9, "ON")}),
          ("release 9\nrelease 3\n", {(3, "OFF"), (9, "OFF")}),
          ("press 1\nrelease 1\n", [])]


def main():
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    started = time.time()
    program = Teclado(sys.argv[1:], socket)
    try:
        actions = taps(KEYS)
        drive(program, actions)
        for text, wanted in GROUPS:
            count = program.statuses + len(wanted)
            program.send(text)
            check(program.wait(lambda t: t.statuses >= count, 10), f"no events for {text!r}")
        time.sleep(0.5)  # room for a late, unwanted event
    finally:
        running = program.stop()
    events = console_events(program, running)
    got = [(e["key"], e["state"]) for e in events]
    seen, n = got[:len(actions)], len(actions)
    check(seen == transitions(actions), f"events {seen}, expected {transitions(actions)}")
    for text, wanted in GROUPS:
        part, n = got[n:n + len(wanted)], n + len(wanted)
        check(part == wanted if isinstance(wanted, list) else set(part) == wanted,
              f"events {part} for {text!r}, expected {wanted}")
    check(len(got) == n, f"events after the last wanted: {got[n:]}")
    check(all(e["status"] == [CONNECTED] for e in events),
          f"recorder's lines: {[e['status'] for e in events]}")
    for event in events:
        when = time.mktime(time.strptime(event["date"], "%a %b %d %H:%M:%S %Y"))
        check(started - 2 <= when <= time.time() + 2, f"date {event['date']!r} is not now")
    check_rows(socket, events)
    print(f"{len(events)} events, {n} expected")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
