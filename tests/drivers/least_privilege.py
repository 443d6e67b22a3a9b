#!/usr/bin/env python3
"""teclado given, in its option file, an account that may only INSERT into
embarcados.estado, on a private server of its own: its rows are stored; the
same file with a wrong password says "Falha de conexao" and stores nothing;
neither password ever shows on its console.

usage: least_privilege.py insert-only [emulator ...] path/to/teclado
"""
import sys

from teclado_run import (CONNECTED, NO_CONNECTION, Teclado, check, check_phases, check_rows,
                         drive, load_schema, option_file, private_server, rows, run_case, sql, taps, wait_rows)

ACCOUNT = "teclado_lp"
PASSWORD = "Lp-s3nha-5781"
WRONG_PASSWORD = "Lp-errada-2206"


def run(command, socket, password, name, actions, wanted):
    """Drives the program, its file naming ACCOUNT with password, through
    actions, each event followed by the lines wanted; returns the events and
    the console's text."""
    settings = option_file(f"[teclado]\nuser={ACCOUNT}\npassword={password}\n")
    program = Teclado(command, socket, {"TECLADO_CONFIG": settings})
    try:
        drive(program, actions)
        if wanted == [CONNECTED]:
            wait_rows(socket, len(actions))  # the last INSERT through before the kill
        # A failure's reason follows its console line: not killed before it.
        program.wait(lambda t: t.err.count(b"\n") >= t.lines.count(NO_CONNECTION), 10)
    finally:
        running = program.stop()
    # Its standard error must be empty, so a password could only be here.
    return check_phases(program, running, [(name, actions, wanted)]), "\n".join(program.lines)


def insert_only(command):
    with private_server("least-privilege") as (folder, socket):
        # As on a server boards log to directly: each row names its account.
        load_schema(socket, "DROP TABLE embarcados.estado; SET @placa_pela_conta = 1;")
        sql(socket, f"DROP USER IF EXISTS '{ACCOUNT}'@'localhost';"
                    f"CREATE USER '{ACCOUNT}'@'localhost' IDENTIFIED BY '{PASSWORD}';"
                    f"GRANT INSERT ON embarcados.estado TO '{ACCOUNT}'@'localhost';")
        grants = sql(socket, f"SHOW GRANTS FOR '{ACCOUNT}'@'localhost'")
        check(len(grants) == 2 and "GRANT INSERT ON `embarcados`.`estado`" in grants[1][0],
              f"grants of {ACCOUNT}: {grants}")
        # The account really can do nothing else, so the program needs no more.
        check(sql(socket, "SELECT COUNT(*) FROM embarcados.estado", ACCOUNT, PASSWORD,
                  check=False) is None, f"{ACCOUNT} may read estado")
        events, seen = run(command, socket, PASSWORD, "with INSERT only", taps([5, 44]),
                           [CONNECTED])
        lost = check_rows(socket, events)
        stored = len(rows(socket))
        names = sql(socket, "SELECT DISTINCT placa FROM embarcados.estado")
        check(names == [[f"{ACCOUNT}@localhost"]], f"rows named {names}, not by their account")
        events, text = run(command, socket, WRONG_PASSWORD, "with a wrong password", taps([6]),
                           [NO_CONNECTION])
        check(len(rows(socket)) == stored, "rows were stored with a wrong password")
        for password in (PASSWORD, WRONG_PASSWORD):
            check(password not in seen + text, f"the password {password} shows on the console")
    print(f"figure: least privilege: INSERT only, {stored} rows stored, lost {lost}; "
          f"wrong password: {len(events)} events with '{NO_CONNECTION}', nothing stored; "
          f"no password on the console")


if __name__ == "__main__":
    sys.exit(run_case({"insert-only": insert_only}, __doc__))
