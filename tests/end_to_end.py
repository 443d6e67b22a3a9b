#!/usr/bin/env python3
"""Runs the real teclado binary on the simulated keypad against the private
MariaDB (MYSQL_UNIX_PORT), checks its console line by line and the rows of
estado byte for byte, then kills it as a service manager would.

usage: end_to_end.py [emulator ...] path/to/teclado
(a cross build's binary comes after its emulator, e.g. qemu-arm -L DIR)
"""
import os
import re
import select
import signal
import subprocess
import sys
import time

TECLADO = sys.argv[1:]
SOCKET = os.environ["MYSQL_UNIX_PORT"]
PASSWORD = os.environ.get("TECLADO_DB_PASSWORD", "tqvz")

# Bad lines (unknown word, unknown key, bad number, bytes that are not text,
# an overlong line), a tap too short to be seen and a last line without its newline
# are mixed with the real actions.
KEYS = b"""# two keys of one row held together, released in the other order
press 5
wait 150
release 5
wait 150

press 0
press 44
wait 150
release 44
release 0
wait 150
bogus line
press 77
wait 2x
\x01\xff
""" + b"x" * 100 + b"""
press 1
release 1
wait 100
press 14"""
EVENTS = [(5, "ON"), (5, "OFF"), (0, "ON"), (44, "ON"), (0, "OFF"), (44, "OFF"), (14, "ON")]
COMPLAINTS = [13, 14, 15, 16, 17]  # line numbers of the bad lines

DATE = r"(\w{3} \w{3} [ 123]\d \d\d:\d\d:\d\d \d{4})"


def sql(statement):
    out = subprocess.run(
        ["mariadb", "--no-defaults", "--socket=" + SOCKET, "-uroot", "-p" + PASSWORD,
         "--batch", "--skip-column-names", "-e", statement],
        check=True, capture_output=True, text=True, timeout=30)
    return [line.split("\t") for line in out.stdout.splitlines()]


def expected_patterns():
    lines = [re.escape("Estamos testando os pinos")]
    for key, state in EVENTS:
        if state == "ON":
            lines.append(re.escape("Estamos conectados"))
        lines.append(re.escape(f"Botao {key} {state} em: ") + DATE)
        lines.append(r" somados (\d{1,3}) milisegundos")
        if state == "OFF":
            lines.append("")
        lines.append(re.escape("Estamos conectados ao banco de dados"))
    return lines


def read_lines(stream, count, deadline):
    """Reads lines as the program writes them, before it is stopped."""
    data = b""
    while data.count(b"\n") < count and time.time() < deadline:
        ready, _, _ = select.select([stream], [], [], 0.1)
        if ready:
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            data += chunk
    return data


def main():
    sql("TRUNCATE TABLE embarcados.estado")
    patterns = expected_patterns()
    started = time.time()
    proc = subprocess.Popen(TECLADO, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(KEYS)
    proc.stdin.close()
    out = read_lines(proc.stdout, len(patterns), started + 30)
    # Nothing more may follow: the last key stays pressed and the scan goes on.
    time.sleep(0.5)
    alive = proc.poll() is None
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=10)
    out += proc.stdout.read()
    err = proc.stderr.read()
    failures = []
    if not alive:
        failures.append(f"teclado stopped by itself with status {proc.returncode}")

    lines = out.decode("ascii", "replace").split("\n")
    if lines[-1] != "":
        failures.append(f"last console line is unfinished: {lines[-1]!r}")
    lines = lines[:-1]
    if len(lines) != len(patterns):
        failures.append(f"{len(lines)} console lines, expected {len(patterns)}")
    dates, millis = [], []
    for number, (line, pattern) in enumerate(zip(lines, patterns), 1):
        match = re.fullmatch(pattern, line)
        if not match:
            failures.append(f"console line {number}: {line!r} does not match {pattern!r}")
        elif match.groups():
            (dates if line.startswith("Botao") else millis).append(match.group(1))
    for date in dates:
        seen = time.mktime(time.strptime(date, "%a %b %d %H:%M:%S %Y"))
        if not started - 2 <= seen <= time.time() + 2:
            failures.append(f"date {date!r} is not the time of the run")

    complaints = err.decode("ascii", "replace").splitlines()
    expected = [f"teclado: entrada, linha {n}: " for n in COMPLAINTS]
    if len(complaints) != len(expected) or not all(
            c.startswith(e) for c, e in zip(complaints, expected)):
        failures.append(f"standard error: {complaints!r}, expected lines starting {expected!r}")

    rows = sql("SELECT TECLA, HEX(ESTADO), HEX(DATA), ms FROM embarcados.estado ORDER BY id")
    wanted = [[str(key), (state + " ").encode().hex().upper(),
               (date + "\n").encode().hex().upper(), ms]
              for (key, state), date, ms in zip(EVENTS, dates, millis)]
    if rows != wanted:
        failures.append(f"rows of estado:\n  {rows}\nexpected:\n  {wanted}")

    for failure in failures:
        print("FAIL:", failure)
    print("console:\n" + out.decode("ascii", "replace"))
    print(f"{len(EVENTS)} events, {len(rows)} rows, {len(complaints)} input complaints")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
