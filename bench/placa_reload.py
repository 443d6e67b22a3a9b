#!/usr/bin/env python3
"""Loading sql/estado.sql again on a table of 1,000,000 rows made before the
board's column existed, while the real teclado logs keys: how long the load
takes and how long an event's recording took meanwhile, beside the same
events with no load. Every event must be stored and every row kept.

usage: placa_reload.py [--rows N] path/to/teclado   (MYSQL_UNIX_PORT: the server)
Prints "figure: ..." lines.
"""
import argparse
import os
import statistics
import sys
import threading
import time

from teclado_run import (CONNECTED, KEYS, Teclado, check, console_events, finish, load_schema,
                         row_count, sql, stream)

# The table as the version before the board's column made it.
EARLIER = """CREATE TABLE embarcados.estado (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  TECLA INT NOT NULL,
  ESTADO VARCHAR(8) NOT NULL,
  DATA VARCHAR(32) NOT NULL,
  ms SMALLINT NOT NULL,
  gravado_em DATETIME(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
  KEY (gravado_em),
  KEY tecla_id (TECLA, id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"""


LOADS = 10  # rounds of taking the column away and loading the file again


def timed_load(socket):
    """Seconds estado.sql takes to load."""
    started = time.monotonic()
    load_schema(socket)
    return time.monotonic() - started


def recordings(program, events, windows):
    """Milliseconds from each event's report line to its recorder line, for
    the events whose recording overlapped one of windows (start, end), and
    for the others."""
    inside, outside = [], []
    for event in events:
        line = event["line"] + 2 + (event["state"] == "OFF")
        if event["status"][:1] != [CONNECTED]:
            continue
        start, end = program.arrived[event["line"]], program.arrived[line]
        overlap = any(start <= b and end >= a for a, b in windows)
        (inside if overlap else outside).append((end - start) * 1000)
    return inside, outside


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "DROP TABLE IF EXISTS embarcados.estado")
    sql(socket, EARLIER)
    sql(socket, "INSERT INTO embarcados.estado (TECLA, ESTADO, DATA, ms)"
                " SELECT 5, IF(seq MOD 2, 'ON ', 'OFF '), 'Thu Jan  1 00:00:00 2026\\n', 0"
                f" FROM embarcados.seq_1_to_{args.rows}", timeout=600)

    program = Teclado(args.command, socket)
    stop = threading.Event()
    windows, loads = [], []

    tapper = threading.Thread(target=stream, args=(program, KEYS, stop, 0.02), daemon=True)
    try:
        tapper.start()
        time.sleep(2)
        # Each round takes the column away again (itself an instant change;
        # the report's index, which holds it, first) and loads the file.
        for _ in range(LOADS):
            started = time.monotonic()
            loads.append(timed_load(socket))
            windows.append((started, time.monotonic()))
            time.sleep(0.5)
            sql(socket, "SET sql_log_bin = 0; ALTER TABLE embarcados.estado DROP INDEX instante,"
                        " ALGORITHM=NOCOPY; ALTER TABLE embarcados.estado DROP COLUMN placa,"
                        " ALGORITHM=INSTANT")
            time.sleep(0.5)
        loads.append(timed_load(socket))
        again = timed_load(socket)
        time.sleep(1)
    finally:
        stop.set()
        tapper.join(timeout=30)
        running = program.stop()
    events = console_events(program, running)
    check(all(e["status"][:1] == [CONNECTED] for e in events),
          "events not stored: " + str([e for e in events if e["status"][:1] != [CONNECTED]][:3]))
    rows = row_count(socket)
    check(rows == args.rows + len(events), f"{rows} rows, expected {args.rows + len(events)}")
    placa = sql(socket, "SELECT COUNT(*) FROM embarcados.estado WHERE placa = @@hostname")[0][0]
    check(int(placa) == rows, f"{placa} of {rows} rows name the board")
    during, others = recordings(program, events, windows)
    sql(socket, "DROP TABLE embarcados.estado")
    load_schema(socket)
    print(f"figure: estado.sql loaded again on {args.rows:,} rows without placa, teclado "
          f"logging: median {statistics.median(loads):.3f} s, longest {max(loads):.3f} s "
          f"({len(loads)} loads); loaded once more, the column there: {again:.3f} s")
    print(f"figure: recording per event (report line to its recorder line) overlapping a load: "
          f"longest {max(during, default=0):.1f} ms over {len(during)} events; the others: "
          f"median {statistics.median(others or [0]):.1f} ms, longest "
          f"{max(others, default=0):.1f} ms over {len(others)}; no event refused, "
          f"{rows:,} rows kept")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
