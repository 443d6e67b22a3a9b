#!/usr/bin/env python3
"""A regional tier: four boards, each with its own server and teclado; two
aggregators, each a replica of two boards that passes their rows on in a
binary log of its own; and a central server that replicates the two
aggregators, all over verified TLS. Keys go on while an aggregator is
stopped, while the other is killed with SIGKILL, and while a board linked
straight to the central server is moved to an aggregator; in the end the central
server holds every row of every board once, byte for byte, with its board,
each board's GTID domain carried through, and its report shows each board
as the board's own does.

usage: tier.py [emulator ...] path/to/teclado
Loopback only, certificates made here by openssl, every server stopped at
the end whatever happened.
"""
import os
import secrets
import shutil
import signal
import statistics
import sys
import threading
import time
import traceback

from central import (BOARD_OPTIONS, CENTRAL_SERVER, arrival, board_filters, board_rows,
                     caught_up, central_rows, certificates, change_master, check_report, feed,
                     free_port, replication_account)
from teclado_run import (KEYS, ROOT, Teclado, bring_back_server, check, failures, finish,
                         load_schema, shut_down_server, sql, start_server, stop_server,
                         stream)

TIER = {"agregador-1": ("placa-1", "placa-2"), "agregador-2": ("placa-3", "placa-4")}
BOARDS = [b for boards in TIER.values() for b in boards]
ARRIVAL = {name: arrival(name) for name in BOARDS}
MOVED = "placa-4"  # linked to the central server first, then moved to its aggregator
OUTAGE = 15  # seconds an aggregator is down while keys go on
PACE = 0.1  # seconds between one board's events
CATCH_UP = 120  # the longest the central server may take to hold every row

# An aggregator: a replica of its boards whose binary log (log_slave_updates)
# keeps each board's events with their own GTID, domain and server_id, for the
# central server to replicate. Each board's rows go into the board's arrival
# database, a BLACKHOLE table that keeps nothing and has no trigger,
# filtered as at the central server, so
# that the central server takes each board's rows into that board's own
# arrival database. On disk at every commit, like a board.
AGGREGATOR_OPTIONS = """[mariadbd]
port = {port}
server_id = {n}
gtid_domain_id = {n}
log_bin = agregador-bin
log_slave_updates = ON
binlog_format = ROW
sync_binlog = 1
binlog_expire_logs_seconds = 864000
relay_log = agregador-relay
relay_log_recovery = ON
plugin_load_add = ha_blackhole
ssl_ca = {certs}/ca.pem
ssl_cert = {certs}/{name}.pem
ssl_key = {certs}/{name}.key
require_secure_transport = ON
"""


def aggregator_filters(name):
    """Its boards' arrival databases, as the aggregator names them: one line
    each (the options add up; a comma list would be one database's name)."""
    return "".join(f"{name}.replicate_do_db = {ARRIVAL[b]}\n"
                   f"{name}.replicate_do_table = {ARRIVAL[b]}.estado\n" for b in TIER[name])


def arrival(socket, name, relay=False):
    """A board's arrival database, made out of the binary log. At an
    aggregator without the trigger: a row event from a table with triggers
    is marked so, and the central server would then run none of its own
    for it, taking the row into no log."""
    feed(socket, f"SET sql_log_bin = 0; CREATE DATABASE {ARRIVAL[name]}; USE {ARRIVAL[name]};\n"
         + open(os.path.join(ROOT, "sql", "chegada.sql")).read()
         + ("DROP TRIGGER para_o_registro;\n" if relay else ""))


def move(central, aggregator, link_text):
    """MOVED from its own link at the central server to its aggregator's,
    keys going on, as docs/central.md says: the aggregator starts where the
    central server stopped in the board's domain. Returns that place."""
    feed(central, f"STOP SLAVE '{MOVED}';\n")
    domain = str(BOARDS.index(MOVED) + 1) + "-"
    place = [p for p in sql(central, "SELECT @@gtid_slave_pos")[0][0].split(",")
             if p.startswith(domain)]
    feed(aggregator, "STOP ALL SLAVES;\n"
         "SET GLOBAL gtid_slave_pos = CONCAT_WS(',', NULLIF(@@gtid_slave_pos, ''), "
         f"'{place[0]}');\n" + link_text + "START ALL SLAVES;\n")
    feed(central, f"RESET SLAVE '{MOVED}' ALL;\n")
    return place[0]


def run(command, work):
    certs = os.path.join(work, "certs")
    certificates(certs, BOARDS + list(TIER))
    password = secrets.token_urlsafe(18)
    boards, aggregators, ports = {}, {}, {}
    for n, name in enumerate(BOARDS, 1):
        ports[name] = free_port()
        boards[name] = start_server(os.path.join(work, name), options=BOARD_OPTIONS.format(
            n=n, name=name, certs=certs, port=ports[name]))
        load_schema(boards[name], f"SET sql_log_bin = 0; DROP TABLE embarcados.estado;"
                                  f" SET @placa = '{name}';")
        feed(boards[name], replication_account(password))
    for n, name in enumerate(TIER, 11):
        ports[name] = free_port()
        aggregators[name] = start_server(os.path.join(work, name), options=AGGREGATOR_OPTIONS.format(
            n=n, name=name, certs=certs, port=ports[name])
            + "".join(board_filters(b) for b in TIER[name]))
        feed(aggregators[name], replication_account(password))
        for board in TIER[name]:
            arrival(aggregators[name], board, relay=True)
        # current_pos: the aggregator's place at each board is what its own
        # binary log holds, the log the central server reads. A row logged
        # there just before a crash is neither fetched again (doubled
        # downstream) nor lost.
        feed(aggregators[name],
             "".join(change_master(b, ports[b], password, f"{certs}/ca.pem", "current_pos")
                     for b in TIER[name] if b != MOVED) + "START ALL SLAVES;\n")
    # Both ways in for the board that moves are set from the start: a
    # filter of a link that carries none of its rows is idle.
    central = start_server(os.path.join(work, "central"), options=CENTRAL_SERVER
                           + "".join(aggregator_filters(a) for a in TIER) + board_filters(MOVED))
    feed(central, "DROP TABLE embarcados.estado;\n" +
         open(os.path.join(ROOT, "sql", "central.sql")).read() +
         open(os.path.join(ROOT, "sql", "estado.sql")).read())
    for name in BOARDS:
        arrival(central, name)
    feed(central, "".join(change_master(a, ports[a], password, f"{certs}/ca.pem")
                          for a in list(TIER) + [MOVED]) + "START ALL SLAVES;\n")

    programs, threads, stop = {}, [], threading.Event()
    started = time.monotonic()
    try:
        for n, name in enumerate(BOARDS):
            programs[name] = Teclado(command, boards[name])
            threads.append(threading.Thread(target=stream, daemon=True, args=(
                programs[name], KEYS[n::len(BOARDS)], stop, PACE)))
            threads[-1].start()
        lags = []
        for _ in range(5):
            time.sleep(0.5)
            lag = caught_up(central, boards, CATCH_UP)
            if not check(lag is not None, "the central server fell behind in steady state"):
                break
            lags.append(lag)

        # One aggregator down a while, the other killed mid-stream.
        outages = []
        for name, sig, down in (("agregador-1", signal.SIGTERM, OUTAGE),
                                ("agregador-2", signal.SIGKILL, 0)):
            folder = os.path.join(work, name)
            argv = shut_down_server(folder, sig)
            time.sleep(down)
            back = time.monotonic()
            bring_back_server(folder, argv, aggregators[name])
            seconds = caught_up(central, boards, CATCH_UP)
            check(seconds is not None, f"{name} after signal {sig}: the central server did not "
                                       f"catch up within {CATCH_UP} s")
            outages.append(time.monotonic() - back)
            time.sleep(2)
        moved = move(central, aggregators["agregador-2"], change_master(
            MOVED, ports[MOVED], password, f"{certs}/ca.pem", "current_pos"))
        time.sleep(3)
        stop.set()
        for thread in threads:
            thread.join(timeout=30)
        check(caught_up(central, boards, CATCH_UP) is not None,
              f"the central server did not hold the last rows within {CATCH_UP} s")
    finally:
        stop.set()
        for program in programs.values():
            program.stop()

    lost = doubled = 0
    counts = []
    for name, socket in boards.items():
        mine, theirs = board_rows(socket), central_rows(central, name)
        counts.append(f"{name} {len(mine)}/{len(theirs)}")
        lost += len(set(map(tuple, mine)) - set(map(tuple, theirs)))
        doubled += len(theirs) - len(set(map(tuple, theirs)))
        check(all(r[0] == name for r in mine), f"{name}: rows not named {name}")
        check(theirs == mine, f"{name}: the central copy differs: {len(theirs)} rows there, "
                              f"{len(mine)} on the board")
        # The domain carried through: the central server's place in it is
        # the board's own last GTID.
        own = sql(socket, "SELECT @@gtid_binlog_pos")[0][0]
        there = sql(central, "SELECT @@gtid_slave_pos")[0][0].split(",")
        check(own in there, f"{name}: its GTID {own} is not in the central's {there}")
        check(name != MOVED or int(own.rsplit("-", 1)[1]) > int(moved.rsplit("-", 1)[1]),
              f"{name}: no row logged after its move at {moved}")
    total = sql(central, "SELECT COUNT(*) FROM embarcados.estado")[0][0]
    check(int(total) == sum(len(board_rows(s)) for s in boards.values()),
          f"{total} rows at the central server, of no board or doubled")
    check_report(command, work, central, boards)
    print(f"figure: tier: steady-state lag, row on a board to the central server through its "
          f"aggregator: median {statistics.median(lags or [0]) * 1000:.0f} ms, max "
          f"{max(lags or [0]) * 1000:.0f} ms ({len(lags)} samples)")
    print(f"figure: tier: agregador-1 stopped {OUTAGE} s, then agregador-2 killed with SIGKILL, "
          f"keys going on: every row at the centre {outages[0]:.2f} s and {outages[1]:.2f} s "
          f"after each was started again")
    print(f"figure: tier: {MOVED} moved from its own link at the centre to agregador-2 "
          f"at {moved}, keys going on")
    print(f"figure: tier: rows per board at the board/at the centre: {', '.join(counts)}; "
          f"lost {lost}, doubled {doubled}; {time.monotonic() - started:.0f} s of keys")


def main():
    # A stop from outside (CTest's timeout, Ctrl-C) still stops the servers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("tier.py: stopped by SIGTERM"))
    work = os.path.join(os.environ.get("TECLADO_TEST_WORK", os.getcwd()), "tier")
    os.makedirs(work, exist_ok=True)
    shutil.rmtree(os.path.join(work, "certs"), ignore_errors=True)
    try:
        run(sys.argv[1:], work)
    except Exception:
        traceback.print_exc()
        failures.append(f"broke off: {traceback.format_exc(limit=1).strip()}")
    finally:
        for name in ("central",) + tuple(TIER) + tuple(BOARDS):
            stop_server(os.path.join(work, name))
        shutil.rmtree(os.path.join(work, "certs"), ignore_errors=True)
    return finish()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main())
