#!/usr/bin/env python3
"""Two boards, each with its own server and teclado logging locally, and a
central server that gathers both boards' rows by replication over verified
TLS. Keys go on while the central server is stopped for a while, when it
is killed mid-stream and when a board's server is; in the end every row of
both boards is on the central server, with its board, byte for byte, once.
Then a board's log is purged past its link and brought back, and what a
board does to its own table (DELETE, TRUNCATE, DROP DATABASE, a table made
anew, a name another board has) costs the central no row.

usage: central.py [emulator ...] path/to/teclado
Loopback only: the boards listen on 127.0.0.1 and their sockets, the central
server on its socket alone. The certificates are made here by openssl and
removed at the end, as are the servers, whatever happened.
"""
import os
import secrets
import shutil
import signal
import socket as net
import statistics
import subprocess
import sys
import threading
import time
import traceback

from teclado_run import (CONNECTED, KEYS, PASSWORD, ROOT, Teclado, bring_back_server, check,
                         check_rows, client, console_events, failures, finish, last_id,
                         load_schema, option_file, shut_down_server, sql, start_server,
                         stop_server, stream, until)

BOARDS = ("placa-1", "placa-2")
OUTAGE = 20  # seconds the central server is down while keys go on
PACE = 0.05  # seconds between one board's events
CATCH_UP = 30  # the longest the central server may take to hold every row

# A board: the binary log in rows (a row's values travel as stored, not its
# statement to be run again with the central's defaults), on disk at every
# commit, kept ten days; TLS with its own certificate, and no link in clear.
BOARD_OPTIONS = """[mariadbd]
port = {port}
server_id = {n}
gtid_domain_id = {n}
log_bin = placa-bin
binlog_format = ROW
sync_binlog = 1
binlog_expire_logs_seconds = 864000
ssl_ca = {certs}/ca.pem
ssl_cert = {certs}/{name}.pem
ssl_key = {certs}/{name}.key
require_secure_transport = ON
"""
# The central server: relay logs fetched again after a crash, the position
# kept in InnoDB with the rows it applied; each board's rows into an arrival
# table of its own, whose trigger copies them into the log.
CENTRAL_OPTIONS = """[mariadbd]
server_id = 100
relay_log = central-relay
relay_log_recovery = ON
plugin_load_add = ha_blackhole
slave_run_triggers_for_rbr = YES
""" + "".join(f"""{name}.replicate_rewrite_db = embarcados->chegada_{name.replace("-", "_")}
{name}.replicate_do_db = chegada_{name.replace("-", "_")}
{name}.replicate_do_table = chegada_{name.replace("-", "_")}.estado
""" for name in BOARDS)
INSERT = ("INSERT INTO embarcados.estado(TECLA, ESTADO, DATA, ms) "
          "values ('5', 'ON ', 'Tue Dec  8 05:08:53 2026\n', '123')")


def free_port():
    with net.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def certificates(folder):
    """A CA and, per board, a key and a certificate for IP 127.0.0.1; and a
    CA that signed neither."""
    os.makedirs(folder, mode=0o700)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "1",
                "-subj", f"/CN=teclado test {ca}", cwd=folder)
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    for name in BOARDS:
        openssl("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", "/CN=127.0.0.1", cwd=folder)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", str(BOARDS.index(name) + 1), "-days", "1",
                "-extfile", "san.ext", "-out", f"{name}.pem", cwd=folder)


def feed(socket, text, check_status=True):
    """SQL text run by the client, column names kept; returns (status,
    output)."""
    out = client(socket, text, ["--batch"], timeout=60)
    if check_status and out.returncode != 0:
        raise RuntimeError(f"mariadb: {text.strip()[:200]}: {out.stderr.strip()}")
    return out.returncode, out.stdout + out.stderr


def replica_status(socket):
    """SHOW ALL SLAVES STATUS as one dict per connection."""
    _, out = feed(socket, "SHOW ALL SLAVES STATUS;\n")
    lines = out.splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[1:]]


ROWS = "SELECT placa, id, TECLA, HEX(ESTADO), HEX(DATA), ms, gravado_em FROM embarcados.estado"


def board_rows(socket):
    return sql(socket, ROWS + " ORDER BY id")


def central_rows(socket, board):
    return sql(socket, ROWS + f" WHERE placa = '{board}' ORDER BY id")


def caught_up(central, boards, seconds):
    """Seconds until the central server holds each board's latest row as
    it is now, or None."""
    wanted = {name: last_id(s) for name, s in boards.items()}
    started = time.monotonic()

    def behind():
        got = sql(central, "SELECT placa, MAX(id) FROM embarcados.estado GROUP BY placa",
                  check=False) or []
        have = {name: int(top) for name, top in got}
        return [n for n in wanted if have.get(n, 0) < wanted[n]]
    if until(behind, lambda b: not b, seconds, 0.02):
        return None
    return time.monotonic() - started


def restart(folder, sig, central, boards, down=0, before=None):
    """Ends the central server with sig, keeps it down for down seconds,
    starts it again: (seconds from the start until every board's latest row
    is there; seconds of that to start; rows the boards logged meanwhile
    when before, their last ids, is given)."""
    argv = shut_down_server(folder, sig)
    time.sleep(down)
    backlog = before and sum(last_id(s) - before[name] for name, s in boards.items())
    started = time.monotonic()
    bring_back_server(folder, argv, central)
    up = time.monotonic() - started
    seconds = caught_up(central, boards, CATCH_UP)
    check(seconds is not None, f"the central server did not catch up within {CATCH_UP} s "
                               f"after signal {sig}")
    return (seconds or 0) + up, up, backlog


def binlog_bytes(socket):
    return sum(int(r[1]) for r in sql(socket, "SHOW BINARY LOGS"))


def run(command, work):
    certs = os.path.join(work, "certs")
    certificates(certs)
    boards, ports = {}, {}
    for n, name in enumerate(BOARDS, 1):
        ports[name] = free_port()
        folder = os.path.join(work, name)
        boards[name] = start_server(folder, options=BOARD_OPTIONS.format(
            n=n, name=name, certs=certs, port=ports[name]))
    central = start_server(os.path.join(work, "central"), options=CENTRAL_OPTIONS)

    # Each board named when its table is made, and an account for the
    # central server that may only read the binary log, over TLS, from the
    # central's address.
    password = secrets.token_urlsafe(18)
    for name, socket in boards.items():
        # The start script loaded estado.sql with the binary log on: none of
        # its statements may be in the log, for the central to run them.
        logged = [r[-1] for r in sql(socket, "SHOW BINLOG EVENTS") if "embarcados" in r[-1]]
        check(not logged, f"{name}'s binary log holds estado.sql's statements: {logged[:3]}")
        load_schema(socket, f"SET sql_log_bin = 0; DROP TABLE embarcados.estado;"
                            f" SET @placa = '{name}';")
        feed(socket, f"SET sql_log_bin = 0;\n"
                     f"CREATE USER 'central'@'127.0.0.1' IDENTIFIED BY '{password}' REQUIRE SSL;\n"
                     f"GRANT REPLICATION SLAVE ON *.* TO 'central'@'127.0.0.1';\n")
    name = BOARDS[0]

    def as_central(tls, statement):
        account = option_file(
            f"[client]\nuser=central\npassword={password}\nhost=127.0.0.1\nport={ports[name]}\n"
            + (f"ssl-ca={certs}/ca.pem\nssl-verify-server-cert\n" if tls else "skip-ssl\n"), certs)
        return subprocess.run(["mariadb", "--defaults-file=" + account, "--batch", "-e", statement],
                              capture_output=True, text=True, timeout=30)
    out = as_central(True, "SELECT COUNT(*) FROM embarcados.estado")
    check(out.returncode != 0 and "denied" in out.stderr,
          f"the replication account read estado: {out.returncode} {out.stdout}{out.stderr}")
    # Refused by the account's REQUIRE SSL (1045, as a wrong password would
    # be: the same password just logged in over TLS) or by the server's
    # require_secure_transport.
    out = as_central(False, "SELECT 1")
    check(out.returncode != 0 and ("insecure transport" in out.stderr
                                   or "ERROR 1045" in out.stderr),
          f"{name} and a link in clear: {out.returncode} {out.stdout}{out.stderr}")

    # The table the start script made is a board's: the central's own instead.
    feed(central, "DROP TABLE embarcados.estado;\n" +
         open(os.path.join(ROOT, "sql", "central.sql")).read() +
         open(os.path.join(ROOT, "sql", "estado.sql")).read())
    for name in BOARDS:
        arrival = "chegada_" + name.replace("-", "_")
        feed(central, f"CREATE DATABASE {arrival}; USE {arrival};\n" +
             open(os.path.join(ROOT, "sql", "chegada.sql")).read())

    def link(name, board, ca):
        return (f"CHANGE MASTER '{name}' TO MASTER_HOST = '127.0.0.1',"
                f" MASTER_PORT = {ports[board]}, MASTER_USER = 'central',"
                f" MASTER_PASSWORD = '{password}', MASTER_SSL = 1,"
                f" MASTER_SSL_CA = '{certs}/{ca}.pem', MASTER_SSL_VERIFY_SERVER_CERT = 1,"
                f" MASTER_USE_GTID = slave_pos, MASTER_CONNECT_RETRY = 1;\n")
    # A board whose certificate the CA given did not sign is refused (the
    # link's error says only "SSL connection error", not why).
    feed(central, link("other-ca", BOARDS[0], "other-ca") + "START SLAVE 'other-ca';\n")
    refused = until(lambda: replica_status(central)[0], lambda s: s["Last_IO_Errno"] != "0", 30)
    check(refused["Last_IO_Errno"] == "2026" and "SSL" in refused["Last_IO_Error"],
          f"a certificate of another CA: {refused['Last_IO_Errno']} {refused['Last_IO_Error']}")
    feed(central, "STOP SLAVE 'other-ca';\nRESET SLAVE 'other-ca' ALL;\n")
    feed(central, "".join(link(name, name, "ca") for name in BOARDS) + "START ALL SLAVES;\n")

    programs = {}
    stop = threading.Event()
    threads = []
    try:
        for name, socket in boards.items():
            programs[name] = Teclado(command, socket)
        binlog_start = {name: binlog_bytes(s) for name, s in boards.items()}
        for n, name in enumerate(BOARDS):
            threads.append(threading.Thread(
                target=stream, args=(programs[name], KEYS[n::2], stop, PACE), daemon=True))
            threads[-1].start()

        # Steady state: how long a row takes to reach the central server.
        lags = []
        for _ in range(10):
            time.sleep(0.3)
            lag = caught_up(central, {BOARDS[0]: boards[BOARDS[0]]}, CATCH_UP)
            if not check(lag is not None, "the central server fell behind in steady state"):
                break
            lags.append(lag)

        # The central server down for a while: the boards go on logging.
        folder = os.path.join(work, "central")
        before = {name: last_id(s) for name, s in boards.items()}
        outage, up, backlog = restart(folder, signal.SIGTERM, central, boards, OUTAGE, before)

        # Killed mid-stream: rows in flight between relay log and table.
        time.sleep(2)
        killed, _, _ = restart(folder, signal.SIGKILL, central, boards)

        # A board's server killed mid-stream: after its recovery, its table
        # and its binary log must hold the same rows, or the centre's copy
        # would differ from the board's.
        time.sleep(2)
        board = os.path.join(work, BOARDS[0])
        bring_back_server(board, shut_down_server(board, signal.SIGKILL), boards[BOARDS[0]])
        time.sleep(2)
        stop.set()
        for thread in threads:
            thread.join(timeout=30)
        check(caught_up(central, boards, CATCH_UP) is not None,
              f"the central server did not hold the last rows within {CATCH_UP} s")
    finally:
        stop.set()
        running = {name: p.stop() for name, p in programs.items()}

    lost = doubled = total = unstored = 0
    for name, socket in boards.items():
        # The killed board's program said why it could not store.
        events = console_events(programs[name], running[name], name != BOARDS[0])
        unstored += sum(e["status"][:1] != [CONNECTED] for e in events)
        check_rows(socket, events)
        mine = board_rows(socket)
        theirs = central_rows(central, name)
        total += len(mine)
        check(all(r[0] == name for r in mine), f"{name}: rows not named {name}")
        lost += len(set(map(tuple, mine)) - set(map(tuple, theirs)))
        doubled += len(theirs) - len(set(map(tuple, theirs)))
        check(theirs == mine, f"{name}: the central copy differs: {len(theirs)} rows there, "
                              f"{len(mine)} on the board; first difference "
                              f"{next((p for p in zip(mine, theirs) if p[0] != p[1]), None)}")
    others = sql(central, "SELECT COUNT(*) FROM embarcados.estado WHERE placa NOT IN "
                          f"('{BOARDS[0]}', '{BOARDS[1]}')")[0][0]
    check(others == "0", f"{others} rows of no board on the central server")
    for status in replica_status(central):
        check(status["Master_SSL_Verify_Server_Cert"] == "Yes",
              f"link {status['Connection_name']} does not verify the board's certificate")
        check(status["Slave_IO_Running"] == "Yes" and status["Slave_SQL_Running"] == "Yes",
              f"link {status['Connection_name']}: IO {status['Slave_IO_Running']}, SQL "
              f"{status['Slave_SQL_Running']}: {status['Last_IO_Error']} {status['Last_SQL_Error']}")
    # The report on the central server: each board's rows apart, as on the
    # board itself, where ids repeat from board to board.
    report = command[:-1] + [os.path.join(os.path.dirname(command[-1]), "teclado-relatorio"),
                             "--tsv", "--user", "root"]

    def tsv(socket, *args):
        out = subprocess.run(report + list(args), capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, MYSQL_UNIX_PORT=socket, MYSQL_PWD=PASSWORD,
                                      HOME=work))
        check(out.returncode == 0, f"report {args} on {socket}: {out.returncode} {out.stderr}")
        return out.stdout.splitlines()
    whole = tsv(central)
    heading = "PLACA\tEVENTOS\tPRESSOES\tULTIMO\tSEM_PAR"
    summary = [x.split("\t") for x in whole[whole.index(heading) + 1:]] if heading in whole else []
    for name, socket in boards.items():
        own = tsv(socket)
        keys = [x.split("\t") for x in own[1:17]]
        want = [name, str(len(board_rows(socket))), str(sum(int(k[1]) for k in keys)),
                str(sum(int(k[5]) for k in keys))]
        got = next(([x[0], x[1], x[2], x[4]] for x in summary if x[0] == name), None)
        check(got == want, f"central report, {name}'s line {got}, expected {want}")
        check(tsv(central, "--placa", name) == own, f"central report --placa {name} differs "
                                                     "from the board's own")
    rows = len(board_rows(boards[BOARDS[0]]))
    per_row = (binlog_bytes(boards[BOARDS[0]]) - binlog_start[BOARDS[0]]) / max(rows, 1)
    print(f"figure: central: steady-state lag, row on a board to row on the central server: "
          f"median {statistics.median(lags or [0]) * 1000:.0f} ms, max "
          f"{max(lags or [0]) * 1000:.0f} ms ({len(lags)} samples)")
    print(f"figure: central: stopped {OUTAGE} s while keys went on ({backlog} rows "
          f"logged meanwhile): every row there {outage:.2f} s after its start "
          f"({up:.2f} s of that to start)")
    print(f"figure: central: killed with SIGKILL mid-stream and started again: every row "
          f"there {killed:.2f} s after its start; {total} rows of 2 boards in all, lost {lost}, "
          f"doubled {doubled}")
    print(f"figure: central: {BOARDS[0]}'s server killed with SIGKILL mid-stream and started "
          f"again: {unstored} events not stored meanwhile, the centre's copy equal to its table")
    print(f"figure: central: board's binary log: {per_row:.0f} bytes per row")
    purged(central, boards)
    board_side(central, boards)


def logging(*sockets):
    """Rows added to each board's table, PACE apart, until the event
    returned is set; and the threads to join."""
    stop = threading.Event()

    def add(socket):
        while not stop.is_set():
            sql(socket, INSERT)
            time.sleep(PACE)
    threads = [threading.Thread(target=add, args=(s,), daemon=True) for s in sockets]
    for thread in threads:
        thread.start()
    return stop, threads


def purged(central, boards):
    """A board's binary log purged past its link's position while both
    boards log: the link fails with 1236, scripts/recover-board.sh brings it
    back, and the central then holds every row of both boards once."""
    two = BOARDS[1]
    stop, threads = logging(*boards.values())
    try:
        feed(central, f"STOP SLAVE '{two}';\n")
        time.sleep(1)
        feed(boards[two], "FLUSH BINARY LOGS;\n")
        current = sql(boards[two], "SHOW MASTER STATUS")[0][0]
        # The file before waits for InnoDB's checkpoint to be purged.
        until(lambda: feed(boards[two], f"PURGE BINARY LOGS TO '{current}';\n") and
              len(sql(boards[two], "SHOW BINARY LOGS")), lambda n: n == 1, 10)
        feed(central, f"START SLAVE '{two}';\n")
        failed = until(lambda: next(s for s in replica_status(central)
                                    if s["Connection_name"] == two),
                       lambda s: s["Last_IO_Errno"] != "0", 30)
        check(failed["Last_IO_Errno"] == "1236", f"{two} after the purge: {failed}")
        out = subprocess.run([os.path.join(ROOT, "scripts", "recover-board.sh"), two,
                              option_file(f"[client]\nuser=root\npassword={PASSWORD}\n"
                                          f"socket={boards[two]}\n"),
                              option_file(f"[client]\nuser=root\npassword={PASSWORD}\n"
                                          f"socket={central}\n")],
                             capture_output=True, text=True, timeout=120)
        check(out.returncode == 0, f"recover-board.sh: {out.returncode} {out.stderr}")
        time.sleep(1)
    finally:
        stop.set()
        for thread in threads:
            thread.join(10)
    check(caught_up(central, boards, CATCH_UP) is not None, "not caught up after the recovery")
    for name, socket in boards.items():
        mine, theirs = board_rows(socket), central_rows(central, name)
        check(theirs == mine, f"{name} after the recovery: {len(theirs)} rows at the centre, "
                              f"{len(mine)} on the board")
    print(f"figure: central: {two}'s log purged past its link, brought back: {out.stdout.strip()}")


def board_side(central, boards):
    """What a board does to its own table besides adding rows, while the
    other board logs: the central keeps every row it holds, and only that
    board's link stops, at once, saying why; two boards of one name
    likewise, while names that differ only in case are two boards."""
    one, two = BOARDS
    stop, (thread,) = logging(boards[one])

    def state():
        time.sleep(1.5)  # ample for the lag measured above
        counts = dict(sql(central, "SELECT placa, COUNT(*) FROM embarcados.estado GROUP BY placa"))
        links = {s["Connection_name"]: (s["Slave_IO_Running"], s["Slave_SQL_Running"],
                                        s["Last_SQL_Error"]) for s in replica_status(central)}
        return counts, links
    try:
        counts, _ = state()
        for statement, last in (("DELETE FROM embarcados.estado ORDER BY id LIMIT 10", False),
                                ("USE embarcados; TRUNCATE TABLE estado", False),
                                ("DROP DATABASE embarcados", False),
                                (f"SET sql_log_bin = 0; CREATE DATABASE embarcados;", True)):
            feed(boards[two], statement + "\n")
            if last:  # the board's table made anew, its ids from 1 again
                load_schema(boards[two], f"SET @placa = '{two}';")
                sql(boards[two], INSERT)
            now, links = state()
            check(now.get(two) == counts[two] and int(now[one]) > int(counts[one]),
                  f"{two}: {statement}: rows at the centre {counts} before, {now} after")
            check(links[one][:2] == ("Yes", "Yes"), f"{statement}: {one}'s link {links[one]}")
            check(links[two][:2] == ("Yes", "Yes") if not last else
                  links[two][1] == "No" and "recomecou seus ids" in links[two][2],
                  f"{statement}: {two}'s link {links[two]}")
            print(f"figure: central: on {two}: {statement}: rows per board {counts} -> {now}; "
                  f"links {links}")
            counts = now
        # Names that differ in case are two boards; one name through two
        # links stops the second at its first row.
        for name, stopped in (("Placa-2", False), (two, True)):
            stop.set()
            thread.join(10)
            load_schema(boards[one], f"SET @placa = '{name}';")
            sql(boards[one], INSERT)
            now, links = state()
            check(links[one][:2] == (("Yes", "No") if stopped else ("Yes", "Yes")) and (
                  not stopped or f"ja chega por chegada_{two.replace('-', '_')}" in links[one][2]),
                  f"{one} renamed {name}: its link {links[one]}")
            check(now.get(two) == counts[two] and now.get(name, "0") == ("1" if not stopped else
                                                                            counts[two]),
                  f"{one} renamed {name}: rows {counts} before, {now} after")
            print(f"figure: central: {one} renamed {name!r}: rows per board {now}; its link "
                  f"{links[one]}")
    finally:
        stop.set()
        thread.join(10)


def main():
    # A stop from outside (CTest's timeout, Ctrl-C) still stops the servers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("central.py: stopped by SIGTERM"))
    work = os.path.join(os.environ.get("TECLADO_TEST_WORK", os.getcwd()), "central")
    os.makedirs(work, exist_ok=True)
    shutil.rmtree(os.path.join(work, "certs"), ignore_errors=True)
    try:
        run(sys.argv[1:], work)
    except Exception:
        traceback.print_exc()
        failures.append(f"broke off: {traceback.format_exc(limit=1).strip()}")
    finally:
        for name in ("central",) + BOARDS:
            stop_server(os.path.join(work, name))
        shutil.rmtree(os.path.join(work, "certs"), ignore_errors=True)
    return finish()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main())
