#!/usr/bin/env python3
"""The real teclado binary while its database server fails under it: shut
down and started again, hung, trickling, refusing, its table dropped, the
program itself killed in a burst of events, and its console's reader gone.
It must report every event, keep scanning, say what became of each
recording, and store again once the server is back, without a restart.

usage: faults.py CASE [emulator ...] path/to/teclado
CASE: outage | hung-stopped | hung-silent | hung-trickling | refusing |
      table-dropped | killed | console-closed | stdout-closed
'killed', 'console-closed' and 'stdout-closed' use MYSQL_UNIX_PORT; the
others start a server of their own.
"""
import contextlib
import os
import random
import signal
import socket as sockets
import subprocess
import sys
import threading
import time

from teclado_run import (CONNECTED, CONNECT_LIMIT, KEYS, NO_CONNECTION, NO_TABLE, READ_LIMIT,
                         ROOT, START_LINE, WRITE_LIMIT, Teclado, bring_back_server, check,
                         check_phases, check_rows, console_events, drive, private_server, rows,
                         run_case, server_pid, shut_down_server, socket_link, sql, taps,
                         transitions, wait_rows, wait_threads_connected)

# The longest one recording may take: reaching the server, sending, answering.
RECORDING_LIMIT = CONNECT_LIMIT + WRITE_LIMIT + READ_LIMIT


def phased(command, case, during, wanted, fault, link=False, table_lost=False):
    """Taps stored, then fault(folder, socket, program) brings the fault on,
    drives the during actions through it, ends it and returns the figure's
    text; then taps stored again. Each event must get the recorder's lines of
    its phase (wanted during the fault) and estado exactly the rows reported
    stored since it last lost its contents (with table_lost, at the fault)."""
    before, after = taps([1, 2]), taps([4, 5])
    with private_server(case) as (folder, socket):
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

    phased(command, "outage", during, [NO_CONNECTION], fault)


def hung(command, case, kind, hang, slow=True, link=False):
    """hang(folder, socket) hangs the server and returns what ends it. While
    it hangs, a key is tapped twice, each action sent as soon as the one
    before is reported: an action can only be seen once the scan is back, so
    the time between two reports is how long the keypad was blind for the
    first's event. With slow, the fault must make the recorder wait for its
    connect limit; else it must not wait at all."""
    during = taps([6, 6])

    def fault(folder, socket, program):
        end_hang = hang(folder, socket)
        reported = []
        try:
            for action in during:
                if not check(program.act(action, RECORDING_LIMIT + 10, finished=False),
                             f"'{action}' not reported within {RECORDING_LIMIT + 10} s"):
                    break
                with program.changed:
                    reported.append(max(t for t, line in zip(program.arrived, program.lines)
                                        if line.startswith("Botao ")))
            # Still hung: the last event's recording must fail too.
            check(program.wait(lambda t: t.statuses >= t.reports, RECORDING_LIMIT + 10),
                  f"'{during[-1]}' never got its recorder's line")
        finally:
            end_hang()
        blind = [b - a for a, b in zip(reported, reported[1:])]
        if not blind:
            return f"{kind}: blind per event: none measured"
        # Below the connect limit the fault did not bite; above all three
        # the event's deadline did not hold.
        low, high = (CONNECT_LIMIT - 0.5, RECORDING_LIMIT + 1.5) if slow else (0, 1.5)
        check(all(low <= b <= high for b in blind),
              f"keypad blind for {', '.join(f'{b:.2f}' for b in blind)} s, expected "
              f"{low} s to {high} s each (limits: connect {CONNECT_LIMIT} s, write "
              f"{WRITE_LIMIT} s, read {READ_LIMIT} s)")
        return (f"{kind}: blind per event: worst {max(blind):.2f} s of {len(blind)} "
                f"(limits: connect {CONNECT_LIMIT} s, write {WRITE_LIMIT} s, read {READ_LIMIT} s)")

    phased(command, case, during, [NO_CONNECTION], fault, link)


def hung_stopped(command):
    """SIGSTOPped, the server takes connections into its backlog and never
    answers them."""
    def hang(folder, socket):
        pid = server_pid(folder)
        os.kill(pid, signal.SIGSTOP)
        return lambda: os.kill(pid, signal.SIGCONT)

    hung(command, "hung-stopped", "server SIGSTOPped", hang)


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

    hung(command, "hung-silent", "silent listener", hang, link=True)


def in_place_of_server(folder, socket, serve):
    """Takes the server's place behind the program's link with a unix socket
    of the test's own; serve(listener, stop) runs in a thread until stop is
    set. Returns what puts the server back."""
    path = os.path.join(folder, "teclado.sock")
    os.unlink(path)
    listener = sockets.socket(sockets.AF_UNIX, sockets.SOCK_STREAM)
    listener.bind(path)
    stop = threading.Event()
    thread = threading.Thread(target=serve, args=(listener, stop), daemon=True)
    thread.start()

    def end():
        stop.set()
        thread.join(10)
        listener.close()
        socket_link(folder, socket)
    return end


def hung_trickling(command):
    """A listener that answers each connection with the start of a server's
    greeting, one byte every 2 s: each read gets its byte within the client
    library's read limit, so only a deadline for the whole event ends it."""
    greeting = b"\x5b\x00\x00\x00\x0a5.5.5-10.11.6-MariaDB\x00" + bytes(64)

    def trickle(connection, stop):
        with connection:
            for byte in greeting:
                try:
                    connection.send(bytes([byte]))
                except OSError:
                    return  # the program gave up
                if stop.wait(2):
                    return

    def serve(listener, stop):
        listener.listen(16)
        listener.settimeout(0.1)
        while not stop.is_set():
            with contextlib.suppress(sockets.timeout):
                connection, _ = listener.accept()
                threading.Thread(target=trickle, args=(connection, stop), daemon=True).start()

    hung(command, "hung-trickling", "trickling server",
         lambda folder, socket: in_place_of_server(folder, socket, serve), link=True)


def refusing(command):
    """A socket bound in the server's place and never listening: every
    connection is refused at once, and the scan must not wait at all."""
    hung(command, "refusing", "refusing server",
         lambda folder, socket: in_place_of_server(folder, socket, lambda l, stop: None),
         slow=False, link=True)


def table_dropped(command):
    during = taps([3, 9])

    def fault(folder, socket, program):
        sql(socket, "DROP TABLE embarcados.estado")
        # The table must not come back before the last refusal.
        drive(program, during, refused=True)
        sql(socket, f"SOURCE {os.path.join(ROOT, 'sql', 'estado.sql')}")
        return f"table dropped: refused with '{NO_TABLE}'"

    phased(command, "table-dropped", during, [CONNECTED, NO_TABLE], fault, table_lost=True)


def killed(command):
    """SIGKILL at a different moment of a burst, a few times over, most of
    them inside a statement, which a trigger makes last slow_insert s: every
    row is whole and was reported, no console line the program wrote is
    lost, and its connection goes with it."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    slow_insert = 0.1
    # Closed loop: each action goes once the one before is reported, so
    # the next change waits in the program's input while it records, and a
    # tap shorter than a statement is never lost to the blind scan.
    actions = []
    for i in range(40):
        key = KEYS[(i * 5) % 16]
        actions += [f"press {key}", f"release {key}"]
    driven = transitions(actions)
    inside = 0
    sql(socket, "DROP TRIGGER IF EXISTS embarcados.teclado_lento")
    sql(socket, "CREATE TRIGGER embarcados.teclado_lento BEFORE INSERT ON embarcados.estado "
                f"FOR EACH ROW SET @x = SLEEP({slow_insert})")
    try:
        for run in range(4):
            sql(socket, "TRUNCATE TABLE embarcados.estado")
            threads = wait_threads_connected(socket, 0)
            kill_after = 8 + 9 * run
            program = Teclado(command, socket)
            try:
                for action in actions[:kill_after]:
                    if not check(program.act(action, 30, finished=False),
                                 f"run {run}: no event for '{action}' within 30 s"):
                        break
                # The first run is killed anywhere inside an event, the
                # others inside its statement: after its status line, which
                # is printed just before the INSERT is sent.
                if run > 0:
                    check(program.wait(lambda t: t.statuses >= kill_after, 30),
                          f"run {run}: {program.statuses} statuses, waited for {kill_after}")
                time.sleep(random.uniform(0, 0.006) if run == 0
                           else random.uniform(0.1, 0.7) * slow_insert)
                killed_at = time.monotonic()
            finally:
                running = program.stop()
            events = console_events(program, running)
            # The server ends the statement of a killed client before it
            # lets go of its connection: only then is the table final.
            left = wait_threads_connected(socket, threads)
            check(left == threads, f"run {run}: {left} client threads on the server after "
                                   f"the kill, {threads} before")
            got = [(e["key"], e["state"]) for e in events]
            check(got == driven[:len(got)], f"run {run}: events {got} are not the first "
                                            f"{len(got)} driven: {driven[:len(got)]}")
            # A row cut short differs from its event's report.
            table = rows(socket)
            reported = [(e["key"], e["state"] + " ", e["date"] + "\n", e["ms"]) for e in events]
            # The status line is printed before the INSERT is sent, so a row
            # can exist only for an event whose status line is on the console.
            recorded = sum(1 for e in events if e["status"] == [CONNECTED])
            check(table == reported[:len(table)] and len(table) in (recorded, recorded - 1),
                  f"run {run}: rows\n  {table}\nare not the reported events\n  {reported}\n"
                  f"(all but at most the last of the {recorded} with '{CONNECTED}')")
            check(all(e["status"] == [CONNECTED] for e in events[:-1]),
                  f"run {run}: an event before the last lacks its status line")
            row = "row stored" if len(table) == len(events) else "no row"
            if not events:
                where = "no event"
            elif not events[-1]["status"]:
                where = "before its status line, no row"
            else:
                with program.changed:
                    status_at = program.arrived[events[-1]["line"] + 2
                                                + (events[-1]["state"] == "OFF")]
                into = killed_at - status_at
                # Sent right after its status line, the INSERT lasts at
                # least slow_insert on the server.
                if into < slow_insert:
                    inside += 1
                    where = f"{into * 1000:.0f} ms into its statement, {row}"
                else:
                    where = f"{into * 1000:.0f} ms after its status line, {row}"
            print(f"figure: kill {run}: {len(events)} events, {len(table)} rows, killed {where}")
    finally:
        sql(socket, "DROP TRIGGER IF EXISTS embarcados.teclado_lento")
    print(f"figure: kills inside a statement (INSERT made to last {slow_insert * 1000:.0f} ms): "
          f"{inside} of 4")


def console_closed(command, started_closed=False):
    """The console's reader goes away after the start line, as with
    teclado | head -1, or with started_closed, standard output is closed
    before the program starts, as with teclado >&- in a careless init
    script: the first socket it opens must not become its console. Printing
    fails or goes nowhere, and the program must still scan and store every
    event. Driven by the rows, the only sign of progress left."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    actions = taps([5, 44])
    program = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=dict(os.environ, MYSQL_UNIX_PORT=socket),
                               preexec_fn=(lambda: os.close(1)) if started_closed else None)
    start = (START_LINE + "\n").encode()
    try:
        first = start if started_closed else program.stdout.readline()
        program.stdout.close()
        for count, action in enumerate(actions, 1):
            with contextlib.suppress(BrokenPipeError):
                program.stdin.write(f"{action}\n".encode())
                program.stdin.flush()
            if not check(wait_rows(socket, count) == count, f"no row for '{action}' within 10 s"):
                break
    finally:
        running = program.poll() is None
        if running:
            program.kill()
        program.wait(timeout=60)
        err = program.stderr.read()
        with contextlib.suppress(BrokenPipeError):
            program.stdin.close()
    check(first == start, f"first console line {first!r}")
    check(running, f"teclado ended with status {program.returncode} without a console")
    check(err == b"", f"standard error: {err[:300]!r}")
    got = [(key, state) for key, state, _, _ in rows(socket)]
    wanted = [(key, state + " ") for key, state in transitions(actions)]
    check(got == wanted, f"rows {got}, expected {wanted}")
    print(f"figure: {'started with stdout closed' if started_closed else 'console closed'}: "
          f"{len(got)} of {len(actions)} events stored, program "
          f"{'still running' if running else f'ended with status {program.returncode}'}")


CASES = {"outage": outage, "hung-stopped": hung_stopped, "hung-silent": hung_silent,
         "hung-trickling": hung_trickling, "refusing": refusing, "table-dropped": table_dropped,
         "killed": killed, "console-closed": console_closed,
         "stdout-closed": lambda command: console_closed(command, started_closed=True)}


if __name__ == "__main__":
    sys.exit(run_case(CASES, __doc__))
