#!/usr/bin/env python3
"""The real teclado binary while its database server fails under it: shut
down and started again, hung, its table dropped, and the program itself
killed in a burst of events. It must report every event, keep scanning, say
what became of each recording, and store again once the server is back,
without a restart.

usage: faults.py CASE [emulator ...] path/to/teclado
CASE: outage | hung-stopped | hung-silent | table-dropped | killed
All but 'killed' start a server of their own; 'killed' uses MYSQL_UNIX_PORT.
"""
import os
import random
import signal
import socket as sockets
import sys
import time

from teclado_run import (CONNECTED, CONNECT_LIMIT, KEYS, NO_CONNECTION, NO_TABLE, READ_LIMIT,
                         ROOT, WRITE_LIMIT, Teclado, bring_back_server, check, check_phases,
                         check_rows, console_events, drive, private_server, rows, run_case,
                         server_pid, shut_down_server, socket_link, sql, taps, transitions,
                         wait_rows, wait_threads_connected)

# The longest one recording may take: reaching the server, sending, answering.
RECORDING_LIMIT = CONNECT_LIMIT + WRITE_LIMIT + READ_LIMIT


def phased(command, case, port_offset, during, wanted, fault, link=False, table_lost=False):
    """Taps stored, then fault(folder, socket, program) brings the fault on,
    drives the during actions through it, ends it and returns the figure's
    text; then taps stored again. Each event must get the recorder's lines of
    its phase (wanted during the fault) and estado exactly the rows reported
    stored since it last lost its contents (with table_lost, at the fault)."""
    before, after = taps([1, 2]), taps([4, 5])
    with private_server(case, port_offset) as (folder, socket):
        program = Teclado(command, socket_link(folder, socket) if link else socket)
        try:
            drive(program, before)
            # The fault only once the last row is in: an INSERT cut short by
            # it would be a different fault.
            check(wait_rows(socket, len(before)) == len(before), "rows before the fault")
            shown = fault(folder, socket, program)
            drive(program, after, seconds=RECORDING_LIMIT + 10)
            # Killed only once the last INSERT is through.
            wait_rows(socket, len(after) if table_lost else len(before + after))
        finally:
            running = program.stop()
        events = check_phases(program, running, [("before the fault", before, [CONNECTED]),
                                                 ("during the fault", during, wanted),
                                                 ("after the fault", after, [CONNECTED])])
        lost = check_rows(socket, events[len(before + during):] if table_lost else events)
        print(f"figure: {shown}; {len(events)} events, {len(during)} during the fault, "
              f"{len(rows(socket))} rows, rows lost: {lost}")


def outage(command):
    during = taps([3, 14])

    def fault(folder, socket, program):
        argv = shut_down_server(folder)
        down = time.monotonic()
        drive(program, during)
        bring_back_server(folder, argv, socket)
        return f"outage: {time.monotonic() - down:.1f} s with '{NO_CONNECTION}'"

    phased(command, "outage", 0, during, [NO_CONNECTION], fault)


def hung(command, case, port_offset, kind, hang, link=False):
    """hang(folder, socket) hangs the server and returns what ends it. While
    it hangs, a key is pressed, and released as soon as the press is
    reported: the release can only be seen once the scan is back, so the
    time between the two reports is how long the keypad was blind."""
    def reported(program, action, seconds):
        """When the report of action's event arrived, or None."""
        if not check(program.act(action, seconds, finished=False),
                     f"'{action}' not reported within {seconds} s"):
            return None
        with program.changed:
            return max(t for t, line in zip(program.arrived, program.lines)
                       if line.startswith("Botao "))

    def fault(folder, socket, program):
        end_hang = hang(folder, socket)
        try:
            pressed = reported(program, "press 6", 10)
            released = pressed and reported(program, "release 6", 2 * RECORDING_LIMIT + 10)
            if not released:
                return f"{kind}: blind: none"
            blind = released - pressed
            # Still hung: the release's recording must fail too.
            check(program.wait(lambda t: t.statuses >= t.reports, RECORDING_LIMIT + 10),
                  "release 6 never got its recorder's line")
        finally:
            end_hang()
        # Below the connect limit the fault did not bite; above all three
        # the recorder waited longer than it may.
        check(CONNECT_LIMIT - 0.5 <= blind <= RECORDING_LIMIT + 1.5,
              f"keypad blind for {blind:.2f} s, expected {CONNECT_LIMIT} s to "
              f"{RECORDING_LIMIT} s (the recorder's limits)")
        return (f"{kind}: blind: {blind:.2f} s (limits: connect {CONNECT_LIMIT} s, "
                f"write {WRITE_LIMIT} s, read {READ_LIMIT} s)")

    phased(command, case, port_offset, taps([6]), [NO_CONNECTION], fault, link)


def hung_stopped(command):
    """SIGSTOPped, the server takes connections into its backlog and never
    answers them."""
    def hang(folder, socket):
        pid = server_pid(folder)
        os.kill(pid, signal.SIGSTOP)
        return lambda: os.kill(pid, signal.SIGCONT)

    hung(command, "hung-stopped", 5, "server SIGSTOPped", hang)


def hung_silent(command):
    """In the server's place, behind the program's link, a listener that
    never says a word: connections are taken into its backlog and left
    there."""
    def hang(folder, socket):
        path = os.path.join(folder, "teclado.sock")
        os.unlink(path)
        listener = sockets.socket(sockets.AF_UNIX, sockets.SOCK_STREAM)
        listener.bind(path)
        listener.listen(16)

        def end():
            listener.close()
            socket_link(folder, socket)
        return end

    hung(command, "hung-silent", 10, "silent listener", hang, link=True)


def table_dropped(command):
    during = taps([3, 9])

    def fault(folder, socket, program):
        sql(socket, "DROP TABLE embarcados.estado")
        # The table must not come back before the last refusal.
        drive(program, during, refused=True)
        sql(socket, f"SOURCE {os.path.join(ROOT, 'sql', 'estado.sql')}")
        return f"table dropped: refused with '{NO_TABLE}'"

    phased(command, "table-dropped", 15, during, [CONNECTED, NO_TABLE], fault, table_lost=True)


def killed(command):
    """SIGKILL at a different moment of a burst, a few times over: every row
    is whole and was reported, no console line the program wrote is lost,
    and its connection goes with it."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    # Waits long enough for each change to be seen at a visit of its row,
    # short enough that the kill finds the program busy.
    burst = []
    for i in range(40):
        key = KEYS[(i * 5) % 16]
        burst += [f"press {key}", "wait 20", f"release {key}", "wait 20"]
    driven = transitions(burst)
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
            running = program.stop()
        events = console_events(program, running)
        got = [(e["key"], e["state"]) for e in events]
        check(got == driven[:len(got)],
              f"run {run}: events {got} are not the first {len(got)} driven: {driven[:len(got)]}")
        # A row cut short differs from its event's report.
        table = rows(socket)
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
        where = ("no event" if not events else "before its status line" if not events[-1]["status"]
                 else "after its row was stored" if len(table) == len(events)
                 else "after its status line, row not stored")
        print(f"figure: kill {run}: {len(events)} events, {len(table)} rows, killed {where}")


CASES = {"outage": outage, "hung-stopped": hung_stopped, "hung-silent": hung_silent,
         "table-dropped": table_dropped, "killed": killed}


if __name__ == "__main__":
    sys.exit(run_case(CASES, __doc__))
