#!/usr/bin/env python3
"""Long runs of the real teclado binary on the simulated keypad against a
private server of their own: many transitions, as fast as the scan takes
them, with nothing lost, doubled or kept behind (files, memory, server
connections); and a shorter run under valgrind's memcheck through every
path the recorder has.

usage: soak.py CASE [emulator ...] path/to/teclado
CASE: soak | memcheck
TECLADO_SOAK_TRANSITIONS: how many transitions the soak drives (20000).
"""
import os
import re
import signal
import sys
import time

from teclado_run import (CONNECTED, KEYS, NO_CONNECTION, NO_TABLE, Teclado, check,
                         check_console, check_phases, check_rows, drive, private_server, rows,
                         run_case, socket_link, sql, taps, wait_rows, wait_threads_connected)


def settle(program, socket, events, threads):
    """Waits until the program is idle between events: every row stored and
    its connection gone from the server. Returns (open fds, VmRSS in kB)."""
    check(wait_rows(socket, events) == events, f"rows never reached {events}")
    check(wait_threads_connected(socket, threads) == threads,
          f"client threads on the server stayed above {threads} after event {events}")
    time.sleep(0.1)  # the client frees its connection after the server sees it go
    rss = re.search(r"VmRSS:\s+(\d+) kB", program.proc_file("status"))
    return len(os.listdir(f"/proc/{program.proc.pid}/fd")), int(rss.group(1))


def soak(command):
    count = int(os.environ.get("TECLADO_SOAK_TRANSITIONS", "20000"))
    warm = 100
    keys = [KEYS[i % len(KEYS)] for i in range(count // 2)]
    actions = taps(keys)
    with private_server("soak") as (folder, socket):
        threads = wait_threads_connected(socket, 0)
        program = Teclado(command, socket)
        started = time.monotonic()
        try:
            drive(program, actions[:warm])
            fds_start, rss_start = settle(program, socket, warm, threads)
            # Each action goes once the previous one has been reported: the
            # next change can then never be applied before the scan has seen
            # the one before.
            drive(program, actions[warm:], finished=False)
            check(program.wait(lambda t: t.statuses >= len(actions), 30),
                  f"{program.statuses} events recorded, expected {len(actions)}")
            took = time.monotonic() - started
            fds_end, rss_end = settle(program, socket, len(actions), threads)
        finally:
            running = program.stop()
        events = check_console(program, actions, running)
        bad = [e for e in events if e["status"] != [CONNECTED]]
        check(not bad, f"{len(bad)} events not recorded, the first: {bad[:1]}")
        lost = check_rows(socket, events)
        stored_rows = len(rows(socket))
    check(fds_end == fds_start,
          f"open files: {fds_start} after {warm} events, {fds_end} at the end")
    check(rss_end == rss_start,
          f"VmRSS: {rss_start} kB after {warm} events, {rss_end} kB at the end")
    print(f"figure: soak: {len(actions)} transitions driven, {len(events)} reported, {stored_rows} rows, "
          f"lost {lost}, in {took:.1f} s ({len(actions) / took:.0f}/s); open files "
          f"{fds_start} -> {fds_end}; VmRSS {rss_start} -> {rss_end} kB (after {warm} events "
          f"-> end); server client threads back to {threads} after each")


def memcheck(command):
    """Under memcheck: rows stored, the server out of reach, the table gone,
    rows stored again. The program never exits by itself; SIGTERM, which it
    does not catch, still lets valgrind write its error and leak summary."""
    stored, unreachable, no_table, again = taps(KEYS * 3), taps([2]), taps([3]), taps([9])
    slow = 60  # seconds: everything runs many times slower under memcheck
    with private_server("memcheck") as (folder, socket):
        log = os.path.join(folder, "memcheck.log")
        if os.path.exists(log):
            os.unlink(log)
        # The link is removed to take the server out of the program's reach.
        link = socket_link(folder, socket)
        valgrind = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                    "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                    "--log-file=" + log]
        program = Teclado(valgrind + command, link)
        try:
            drive(program, stored, seconds=slow)
            wait_rows(socket, len(stored), slow)
            os.unlink(link)
            drive(program, unreachable, seconds=slow)
            os.symlink(socket, link)
            sql(socket, "RENAME TABLE embarcados.estado TO embarcados.estado_guardada")
            drive(program, no_table, seconds=slow, refused=True)
            sql(socket, "RENAME TABLE embarcados.estado_guardada TO embarcados.estado")
            drive(program, again, seconds=slow)
            wait_rows(socket, len(stored + again), slow)
        finally:
            running = program.stop(signal.SIGTERM)
        events = check_phases(program, running, [("stored", stored, [CONNECTED]),
                                                 ("out of reach", unreachable, [NO_CONNECTION]),
                                                 ("no table", no_table, [CONNECTED, NO_TABLE]),
                                                 ("stored again", again, [CONNECTED])])
        check_rows(socket, events)
    check(program.proc.returncode == -signal.SIGTERM,
          f"valgrind ended with status {program.proc.returncode}, not by the SIGTERM")
    with open(log) as f:
        report = f.read()
    errors = re.search(r"ERROR SUMMARY: (\d+) errors", report)
    definite = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", report)
    clean_heap = "All heap blocks were freed" in report
    check(errors is not None and errors.group(1) == "0",
          f"memcheck errors; its log:\n{report}")
    check(clean_heap or (definite is not None and definite.group(1) == "0"),
          f"memcheck found definite leaks or no leak summary; its log:\n{report}")
    print(f"figure: memcheck: {len(events)} events; "
          f"{errors.group(0) if errors else 'no error summary'}; "
          f"definitely lost: {definite.group(1) + ' bytes' if definite else 'nothing'}")


CASES = {"soak": soak, "memcheck": memcheck}


if __name__ == "__main__":
    sys.exit(run_case(CASES, __doc__))
