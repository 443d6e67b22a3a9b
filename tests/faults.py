#!/usr/bin/env python3
"""The real teclado binary on the simulated keypad while its database server
fails under it: stopped and started again, hung, its table dropped, and the
program itself killed in the middle of a burst of events. The program must
report every event, keep scanning, say what happened to each recording, and
store again once the server is back, without being restarted.

usage: faults.py CASE [emulator ...] path/to/teclado
CASE: outage | hung-stopped | hung-silent | table-dropped | killed
Each case but 'killed' starts a private server of its own in
$TECLADO_TEST_WORK/CASE, on TECLADO_FAULTS_DB_PORT (default 33340) plus an
offset; 'killed' uses the shared server at MYSQL_UNIX_PORT.
"""
import os
import random
import re
import signal
import socket as sockets
import sys
import threading
import time

from teclado_run import (CONNECTED, CONNECT_LIMIT, DATE, KEYS, NOT_STORED, NO_CONNECTION,
                         READ_LIMIT, ROOT, WRITE_LIMIT, Teclado, bring_back_server, check,
                         check_phases, check_rows, drive, parse, rows, run_case, server_pid,
                         shut_down_server, sql, start_server, stop_server, taps, transitions,
                         wait_rows, wait_threads_connected, work_folder)

BASE_PORT = int(os.environ.get("TECLADO_FAULTS_DB_PORT", "33340"))
# The longest one recording may take: reaching the server, sending, answering.
RECORDING_LIMIT = CONNECT_LIMIT + WRITE_LIMIT + READ_LIMIT
SCHEMA = os.path.join(ROOT, "sql", "estado.sql")


def with_private_server(name, port_offset, body):
    """Runs body(folder, socket) with a server of its own, and always stops
    both the server and the program afterwards."""
    folder = work_folder(name)
    socket = start_server(folder, BASE_PORT + port_offset)
    try:
        return body(folder, socket)
    finally:
        stop_server(folder)


def outage(command):
    """Server shut down and started again on the same data while teclado runs."""
    before, during, after = taps([1, 2]), taps([3, 14]), taps([4, 5])

    def body(folder, socket):
        program = Teclado(command, socket)
        try:
            drive(program, before)
            # Down only once the last row is in: an INSERT cut short by the
            # shutdown would be a different fault.
            check(wait_rows(socket, len(before)) == len(before), "rows before the outage")
            argv = shut_down_server(folder)
            down = time.monotonic()
            drive(program, during)
            bring_back_server(folder, argv, socket)
            outage_s = time.monotonic() - down
            drive(program, after)
            # Killed only once the last INSERT is through.
            wait_rows(socket, len(before + after))
        finally:
            running = program.stop()
        events = check_phases(program, running, [("before the outage", before, [CONNECTED]),
                                                 ("during the outage", during, [NO_CONNECTION]),
                                                 ("after the outage", after, [CONNECTED])])
        lost = check_rows(socket, events)
        print(f"figure: outage: {len(events)} events, {len(during)} of them during a {outage_s:.1f} s "
              f"outage with '{NO_CONNECTION}', {len(rows(socket))} rows, "
              f"rows lost outside the outage: {lost}")

    with_private_server("outage", 0, body)


def blind_time(program, key):
    """Presses key while the server hangs and sends its release as soon as
    the press is reported. The release can only be applied and seen once the
    scan is back, so the time between the two reports is how long the keypad
    was blind. None if either report did not come."""
    if not check(program.act(f"press {key}", 10, finished=False), f"press {key} not reported"):
        return None
    pressed = program.last_report_arrival()
    if not check(program.act(f"release {key}", 2 * RECORDING_LIMIT + 10, finished=False),
                 f"release {key} not reported within {2 * RECORDING_LIMIT + 10} s of the press"):
        return None
    blind = program.last_report_arrival() - pressed
    check(program.wait(lambda t: t.statuses >= t.reports, RECORDING_LIMIT + 10),
          f"release {key} never got its recorder's line")
    # Below the connect limit the fault did not bite; above all three limits
    # the recorder waited longer than it may.
    check(CONNECT_LIMIT - 0.5 <= blind <= RECORDING_LIMIT + 1.5,
          f"keypad blind for {blind:.2f} s, expected {CONNECT_LIMIT} s to "
          f"{RECORDING_LIMIT} s (the recorder's limits)")
    return blind


def hung(command, name, port_offset, kind, reach, hang):
    """Rows stored; then the server hangs (hang(folder, socket) starts it and
    returns what ends it) while a key is pressed and released; then rows
    stored again. reach(folder, socket) is the socket path the program uses."""
    before, during, after = taps([1]), taps([6]), taps([7])

    def body(folder, socket):
        program = Teclado(command, reach(folder, socket))
        blind = None
        try:
            drive(program, before)
            check(wait_rows(socket, len(before)) == len(before), "rows before the hang")
            end_hang = hang(folder, socket)
            try:
                blind = blind_time(program, 6)
            finally:
                end_hang()
            drive(program, after, seconds=RECORDING_LIMIT + 10)
            wait_rows(socket, len(before + after))
        finally:
            running = program.stop()
        events = check_phases(program, running, [("before the hang", before, [CONNECTED]),
                                                 ("while it hung", during, [NO_CONNECTION]),
                                                 ("after the hang", after, [CONNECTED])])
        lost = check_rows(socket, events)
        shown = "none" if blind is None else f"{blind:.2f} s"
        print(f"figure: {kind}: blind: {shown} (limits: connect {CONNECT_LIMIT} s, write {WRITE_LIMIT} s, "
              f"read {READ_LIMIT} s); {len(events)} events, {len(during)} while hung; "
              f"rows lost outside the hang: {lost}")

    with_private_server(name, port_offset, body)


def hung_stopped(command):
    """The server's process SIGSTOPped: it takes connections into its
    backlog and never answers them."""
    def hang(folder, socket):
        pid = server_pid(folder)
        os.kill(pid, signal.SIGSTOP)
        return lambda: os.kill(pid, signal.SIGCONT)

    hung(command, "hung-stopped", 5, "server SIGSTOPped", lambda folder, socket: socket, hang)


def silent_listener(path):
    """A unix socket at path that takes every connection and never says a
    word. Returns a function that closes it and all it took."""
    listener = sockets.socket(sockets.AF_UNIX, sockets.SOCK_STREAM)
    listener.bind(path)
    listener.listen(16)
    listener.settimeout(0.05)
    taken, done = [], threading.Event()

    def take():
        while not done.is_set():
            try:
                taken.append(listener.accept()[0])
            except sockets.timeout:
                pass

    thread = threading.Thread(target=take, daemon=True)
    thread.start()

    def close():
        done.set()
        thread.join()
        for connection in taken:
            connection.close()
        listener.close()
        os.unlink(path)
        return len(taken)

    return close


def hung_silent(command):
    """A listener in the server's place that accepts and never answers; then
    the real server again. The program reaches both through one socket path,
    a link that is swapped under it."""
    def reach(folder, socket):
        path = os.path.join(folder, "teclado.sock")
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(socket, path)
        return path

    def hang(folder, socket):
        path = os.path.join(folder, "teclado.sock")
        os.unlink(path)
        close = silent_listener(path)

        def end():
            check(close() >= 1, "the silent listener was never connected to")
            os.symlink(socket, path)
        return end

    hung(command, "hung-silent", 10, "silent listener", reach, hang)


def table_dropped(command):
    """estado dropped, then created again, while teclado runs."""
    before, dropped, after = taps([2]), taps([3, 9]), taps([44])
    refusal = NOT_STORED + "Table 'embarcados.estado' doesn't exist"

    def body(folder, socket):
        program = Teclado(command, socket)
        try:
            drive(program, before)
            check(wait_rows(socket, len(before)) == len(before), "rows before the drop")
            sql(socket, "DROP TABLE embarcados.estado")
            # The table must not come back before the last refusal.
            drive(program, dropped, refused=True)
            sql(socket, f"SOURCE {SCHEMA}")
            drive(program, after)
            wait_rows(socket, len(after))
        finally:
            running = program.stop()
        events = check_phases(program, running, [("before the drop", before, [CONNECTED]),
                                                 ("without the table", dropped,
                                                  [CONNECTED, refusal]),
                                                 ("after the table came back", after,
                                                  [CONNECTED])])
        # Rows from before the drop went with the table.
        lost = check_rows(socket, events[len(before) + len(dropped):])
        print(f"figure: table dropped: {len(events)} events, {len(dropped)} refused with "
              f"'{refusal}', {len(rows(socket))} rows afterwards, rows lost: {lost}")

    with_private_server("table-dropped", 15, body)


def killed(command):
    """SIGKILL at a different moment of a burst, a few times over: every row
    is whole and was reported on the console, so no console line that the
    program wrote was lost with it, and its connection goes with it."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    # Waits long enough for each change to be seen at a visit of its row,
    # short enough that the kill finds the program busy.
    burst = []
    for i in range(40):
        key = KEYS[(i * 5) % 16]
        burst += [f"press {key}", "wait 20", f"release {key}", "wait 20"]
    driven = transitions(burst)
    moments = []
    for run in range(4):
        sql(socket, "TRUNCATE TABLE embarcados.estado")
        threads = wait_threads_connected(socket, 0)
        kill_after = 8 + 9 * run
        program = Teclado(command, socket)
        try:
            program.send("\n".join(burst) + "\n")
            check(program.wait(lambda t: t.reports >= kill_after, 30),
                  f"run {run}: {program.reports} reports, waited for {kill_after}")
            # Somewhere inside an event: its report, the 1 ms pause or the
            # recording.
            time.sleep(random.uniform(0, 0.006))
        finally:
            running = program.stop(signal.SIGKILL)
        check(running, f"run {run}: teclado stopped before the kill")
        check(program.tail == b"", f"run {run}: console ends inside a line: {program.tail!r}")
        events, strays = parse(program.lines)
        check(not strays, f"run {run}: console lines out of place: {strays[:5]}")
        got = [(e["key"], e["state"]) for e in events]
        check(got == driven[:len(got)],
              f"run {run}: events {got} are not the first {len(got)} driven: {driven[:len(got)]}")
        table = rows(socket)
        for row in table:
            check(row[1] in ("ON ", "OFF ") and re.fullmatch(DATE + "\n", row[2])
                  and 0 <= row[3] <= 999, f"run {run}: row not whole: {row}")
        reported = [(e["key"], e["state"] + " ", e["date"] + "\n", e["ms"]) for e in events]
        # The status line is printed before the INSERT is sent, so a row can
        # exist only for an event whose status line is on the console.
        recorded = sum(1 for e in events if e["status"] == [CONNECTED])
        check(table == reported[:len(table)] and len(table) in (recorded, recorded - 1),
              f"run {run}: rows\n  {table}\nare not the reported events\n  {reported}\n"
              f"(all but at most the last of the {recorded} with '{CONNECTED}')")
        check(all(e["status"] == [CONNECTED] for e in events[:-1]),
              f"run {run}: an event before the last lacks its status line")
        left = wait_threads_connected(socket, threads)
        check(left == threads, f"run {run}: {left} client threads on the server after the "
                               f"kill, {threads} before")
        last = events[-1] if events else None
        where = "no event" if last is None else (
            "before its status line" if not last["status"] else
            "after its row was stored" if len(table) == len(events) else
            "after its status line, row not stored")
        moments.append(f"{len(events)} events, {len(table)} rows, killed {where}")
    for run, moment in enumerate(moments):
        print(f"figure: kill {run}: {moment}")


CASES = {"outage": outage, "hung-stopped": hung_stopped, "hung-silent": hung_silent,
         "table-dropped": table_dropped, "killed": killed}


if __name__ == "__main__":
    sys.exit(run_case(CASES, __doc__))
