#!/usr/bin/env python3
"""Two boards, each with its own server and teclado logging locally, and a
central server that gathers both boards' rows by replication over verified
TLS. Keys go on while the central server is stopped for a while, when it
is killed mid-stream and when a board's server is; in the end every row of
both boards is on the central server, with its board, byte for byte, once.
Then a purged log is brought back; what a board does to its own table costs no row.

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
CENTRAL_SERVER = """[mariadbd]
server_id = 100
relay_log = central-relay
relay_log_recovery = ON
plugin_load_add = ha_blackhole
slave_run_triggers_for_rbr = YES
"""


def arrival(name):
    """The central server's arrival database of board name."""
    return "chegada_" + name.replace("-", "_")


def replication_account(password):
    """The statements that give a board (or an aggregator) the central's
    account: it may only read the binary log, over TLS, from the central's
    address; none of them goes into that log."""
    return (f"SET sql_log_bin = 0;\n"
            f"CREATE USER 'central'@'127.0.0.1' IDENTIFIED BY '{password}' REQUIRE SSL;\n"
            f"GRANT REPLICATION SLAVE ON *.* TO 'central'@'127.0.0.1';\n")


def change_master(name, port, password, ca, position="slave_pos"):
    """The link name to the server on port, over TLS checked against the CA
    file ca, as the central's account."""
    return (f"CHANGE MASTER '{name}' TO MASTER_HOST = '127.0.0.1', MASTER_PORT = {port},"
            f" MASTER_USER = 'central', MASTER_PASSWORD = '{password}', MASTER_SSL = 1,"
            f" MASTER_SSL_CA = '{ca}', MASTER_SSL_VERIFY_SERVER_CERT = 1,"
            f" MASTER_USE_GTID = {position}, MASTER_CONNECT_RETRY = 1;\n")


def board_filters(name):
    """The option lines of board name's link at the central server."""
    a = arrival(name)
    return (f"{name}.replicate_rewrite_db = embarcados->{a}\n{name}.replicate_do_db = {a}\n"
            f"{name}.replicate_do_table = {a}.estado\n")


ARRIVAL = {name: arrival(name) for name in BOARDS}
CENTRAL_OPTIONS = CENTRAL_SERVER + "".join(board_filters(name) for name in BOARDS)
INSERT = "INSERT INTO embarcados.estado(TECLA, ESTADO, DATA, ms) values ('5', 'ON ', 'x', '1')"


def free_port():
    with net.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def certificates(folder, names=BOARDS):
    """A CA and, per server named, a key and a certificate for IP
    127.0.0.1; and a CA that signed none."""
    os.makedirs(folder, mode=0o700)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "1",
                "-subj", f"/CN=teclado test {ca}", cwd=folder)
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    for serial, name in enumerate(names, 1):
        openssl("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", "/CN=127.0.0.1", cwd=folder)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", str(serial), "-days", "1",
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
        feed(socket, replication_account(password))
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
    for a in ARRIVAL.values():  # each board's way into the log
        feed(central, f"CREATE DATABASE {a}; USE {a};\n" + open(f"{ROOT}/sql/chegada.sql").read())

    def link(name, board, ca):
        return change_master(name, ports[board], password, f"{certs}/{ca}.pem")
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
    check_report(command, work, central, boards)
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
    board_side(central, boards)


def check_report(command, work, central, boards):
    """The report on the central server: each board's rows apart, as on the
    board itself, where ids repeat from board to board."""
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


def board_side(central, boards):
    """While the boards log: a log purged past its link, recover-board.sh; a
    board's DELETE, TRUNCATE, DROP, new table; renames. The centre loses no
    row, and only the acting board's link stops, and then at once, saying why."""
    one, two = BOARDS
    stops = {name: threading.Event() for name in BOARDS}

    def logging(name):
        while not stops[name].is_set():
            sql(boards[name], INSERT)
            time.sleep(PACE)
    threads = {name: threading.Thread(target=logging, args=(name,), daemon=True) for name in BOARDS}
    for thread in threads.values():
        thread.start()

    def link(name):
        return next(s for s in replica_status(central) if s["Connection_name"] == name)

    def counts():
        time.sleep(1.5)  # ample for the lag measured above
        return dict(sql(central, "SELECT placa, COUNT(*) FROM embarcados.estado GROUP BY placa"))
    try:
        feed(central, f"STOP SLAVE '{two}';\n")
        time.sleep(1)
        current = sql(boards[two], "FLUSH BINARY LOGS; SHOW MASTER STATUS")[0][0]
        # The file before goes once InnoDB's checkpoint has passed it.
        until(lambda: feed(boards[two], f"PURGE BINARY LOGS TO '{current}';\n") and
              len(sql(boards[two], "SHOW BINARY LOGS")), lambda n: n == 1, 10)
        feed(central, f"START SLAVE '{two}';\n")
        error = until(lambda: link(two)["Last_IO_Errno"], lambda e: e != "0", 30)
        files = [option_file(f"[client]\nuser=root\npassword={PASSWORD}\nsocket={socket}\n")
                 for socket in (boards[two], central)]
        out = subprocess.run([os.path.join(ROOT, "scripts", "recover-board.sh"), two, *files],
                             capture_output=True, text=True, timeout=120)
        check(error == "1236" and out.returncode == 0,
              f"purged: link error {error}; recover-board.sh {out.returncode} {out.stderr}")
        stops[two].set()
        threads[two].join(10)
        check(caught_up(central, boards, CATCH_UP) is not None, "behind after the recovery")
        check(central_rows(central, two) == board_rows(boards[two]), f"{two}: rows differ at "
              "the centre after the recovery")
        print(f"figure: central: {two}'s log purged past its link: {out.stdout.strip()}")
        before = counts()
        for board, statement, reason in (
                (two, "DELETE FROM embarcados.estado ORDER BY id LIMIT 10", None),
                (two, "USE embarcados; TRUNCATE TABLE estado", None),
                (two, "DROP DATABASE embarcados", None),
                (two, "SET sql_log_bin = 0; CREATE DATABASE embarcados", "recomecou seus ids"),
                (one, "Placa-2", None), (one, two, "ja chega por chegada_placa_2")):
            if board == one:  # renamed by loading estado.sql with its new name
                stops[one].set()
                load_schema(boards[one], f"SET @placa = '{statement}';")
                sql(boards[one], INSERT)
            else:
                feed(boards[two], statement + ";\n")
            if board == two and reason:  # the table made anew: ids from 1 again
                load_schema(boards[two], f"SET @placa = '{two}';")
                sql(boards[two], INSERT)
            after, state = counts(), link(board)
            check(all(after.get(k) == v for k, v in before.items() if k != one),
                  f"{board}: {statement}: rows per board {before}, then {after}")
            check((state["Slave_SQL_Running"], reason and reason in state["Last_SQL_Error"]) ==
                  (("No", True) if reason else ("Yes", None)), f"{statement}: {state}")
            check(board == one or link(one)["Slave_SQL_Running"] == "Yes",
                  f"{statement}: {one}'s link {link(one)['Last_SQL_Error']}")
            print(f"figure: central: on {board}: {statement}: rows per board {before} -> "
                  f"{after}; its link {state['Slave_SQL_Running']} {state['Last_SQL_Error']}")
            before = after
    finally:
        for stop in stops.values():
            stop.set()


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
