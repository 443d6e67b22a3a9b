#!/usr/bin/env python3
"""teclado built for an account that may only INSERT into embarcados.estado,
on a private server of its own: its rows are stored; the same program built
with a wrong password says "Falha de conexao" and stores nothing; neither
password ever shows on its console.

usage: least_privilege.py insert-only [emulator ...] path/to/teclado
The program is built again, twice, from this source tree with the settings
in TECLADO_LP_SETTINGS (an initial-cache file with the compiler, toolchain
and flags of the build under test) into $TECLADO_LP_BUILD and
$TECLADO_LP_BUILD-wrong; the emulator, if any, runs those builds.
"""
import os
import subprocess
import sys

from teclado_run import (CONNECTED, NO_CONNECTION, ROOT, Teclado, check, check_phases, check_rows,
                         drive, load_schema, private_server, rows, run_case, sql, taps,
                         wait_rows)

ACCOUNT = "teclado_lp"
PASSWORD = "Lp-s3nha-5781"
WRONG_PASSWORD = "Lp-errada-2206"


def build(folder, password):
    """Configures and builds the program alone for ACCOUNT with password;
    returns the binary's path, or None with a FAIL."""
    steps = [["cmake", "-C", os.environ["TECLADO_LP_SETTINGS"], "-S", ROOT, "-B", folder,
              "-DBUILD_TESTING=OFF", f"-DTECLADO_DB_USER={ACCOUNT}",
              f"-DTECLADO_DB_PASSWORD={password}"],
             ["cmake", "--build", folder, "-j2", "--target", "teclado"]]
    for step in steps:
        out = subprocess.run(step, capture_output=True, text=True, timeout=600)
        if not check(out.returncode == 0, f"{' '.join(step)} failed:\n{out.stdout}{out.stderr}"):
            return None
    return os.path.join(folder, "teclado")


def run(binary, socket, name, actions, wanted):
    """Drives the binary through actions, each event followed by the lines
    wanted; returns the events and the console's text."""
    program = Teclado(binary, socket)
    try:
        drive(program, actions)
        if wanted == [CONNECTED]:
            wait_rows(socket, len(actions))  # the last INSERT through before the kill
    finally:
        running = program.stop()
    # Its standard error must be empty, so a password could only be here.
    return check_phases(program, running, [(name, actions, wanted)]), "\n".join(program.lines)


def insert_only(command):
    emulator = command[:-1]
    builds = os.environ["TECLADO_LP_BUILD"]
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
        right = build(builds, PASSWORD)
        wrong = build(builds + "-wrong", WRONG_PASSWORD)
        if right is None or wrong is None:
            return
        events, seen = run(emulator + [right], socket, "with INSERT only", taps([5, 44]),
                           [CONNECTED])
        lost = check_rows(socket, events)
        stored = len(rows(socket))
        names = sql(socket, "SELECT DISTINCT placa FROM embarcados.estado")
        check(names == [[f"{ACCOUNT}@localhost"]], f"rows named {names}, not by their account")
        events, text = run(emulator + [wrong], socket, "with a wrong password", taps([6]),
                           [NO_CONNECTION])
        check(len(rows(socket)) == stored, "rows were stored with a wrong password")
        for password in (PASSWORD, WRONG_PASSWORD):
            check(password not in seen + text, f"the password {password} shows on the console")
    print(f"figure: least privilege: INSERT only, {stored} rows stored, lost {lost}; "
          f"wrong password: {len(events)} events with '{NO_CONNECTION}', nothing stored; "
          f"no password on the console")


if __name__ == "__main__":
    sys.exit(run_case({"insert-only": insert_only}, __doc__))
