"""What the tests that run the real teclado binary share: starting it on the
simulated keypad with a pipe for key actions, following its console line by
line as it comes, reading the events back out of it, SQL through the
mariadb client, and private servers of a test's own.

A driver names its cases and runs one with run_case(); a case records its
findings with check(), and every FAIL line is printed at the end, also when
the case breaks off.
"""
import os
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections import Counter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRIVATE_MARIADB = os.path.join(ROOT, "scripts", "private-mariadb.sh")
PASSWORD = os.environ.get("TECLADO_DB_PASSWORD", "tqvz")
# The recorder's time limits the binary was built with, in seconds.
CONNECT_LIMIT = int(os.environ.get("TECLADO_DB_CONNECT_TIMEOUT", "3"))
READ_LIMIT = int(os.environ.get("TECLADO_DB_READ_TIMEOUT", "3"))
WRITE_LIMIT = int(os.environ.get("TECLADO_DB_WRITE_TIMEOUT", "3"))

START_LINE = "Estamos testando os pinos"
PRESS_LINE = "Estamos conectados"
CONNECTED = "Estamos conectados ao banco de dados"
NO_CONNECTION = "Falha de conexao"
NOT_STORED = "Falha ao gravar: "
# Key codes as printed, row by row.
KEYS = [1, 2, 3, 14, 4, 5, 6, 24, 7, 8, 9, 34, 41, 0, 43, 44]

DATE = r"(\w{3} \w{3} [ 123]\d \d\d:\d\d:\d\d \d{4})"
REPORT = re.compile(r"Botao (\d+) (ON|OFF) em: " + DATE)
MILLIS = re.compile(r" somados (\d{1,3}) milisegundos")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def finish():
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


# ---- SQL and private servers ----

def sql(socket, statement, user="root", password=PASSWORD, check=True):
    """Rows of the statement's result as lists of texts. With check=False a
    refused statement gives None instead of an exception."""
    out = subprocess.run(
        ["mariadb", "--no-defaults", "--socket=" + socket, "-u" + user, "-p" + password,
         "--batch", "--skip-column-names", "-e", statement],
        capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        if check:
            raise RuntimeError(f"mariadb: {statement}: {out.stderr.strip()}")
        return None
    return [line.split("\t") for line in out.stdout.splitlines()]


def rows(socket):
    """The rows of estado in insert order, as (key, state, date, ms) with the
    texts exactly as stored."""
    got = sql(socket, "SELECT TECLA, HEX(ESTADO), HEX(DATA), ms FROM embarcados.estado ORDER BY id")
    return [(int(k), bytes.fromhex(s).decode(), bytes.fromhex(d).decode(), int(ms))
            for k, s, d, ms in got]


def status_value(socket, name):
    return int(sql(socket, f"SHOW GLOBAL STATUS LIKE '{name}'")[0][1])


def start_server(folder, port):
    """A private server of the test's own; returns its socket path."""
    # Its own socket in folder, never a path given to the shared server.
    env = {k: v for k, v in os.environ.items() if k != "TECLADO_DB_SOCKET"}
    subprocess.run([PRIVATE_MARIADB, "start", folder, str(port)], check=True,
                   stdout=subprocess.DEVNULL, timeout=120, env=env)
    with open(os.path.join(folder, "socket")) as f:
        return f.read().strip()


def stop_server(folder):
    """Stops it whatever state it is in, a SIGSTOPped one included."""
    subprocess.run([PRIVATE_MARIADB, "stop", folder], stdout=subprocess.DEVNULL, timeout=120)


def server_pid(folder):
    with open(os.path.join(folder, "mysqld.pid")) as f:
        return int(f.read())


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def shut_down_server(folder):
    """Shuts the server down as an operator would and returns the command
    line that brings it back on the same data."""
    pid = server_pid(folder)
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        argv = [a.decode() for a in f.read().split(b"\0") if a]
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 60
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if alive(pid):
        raise RuntimeError(f"mariadbd {pid} still running 60 s after SIGTERM")
    return argv


def bring_back_server(folder, argv, socket):
    """Starts mariadbd again with argv, detached as the start script does, so
    that private-mariadb.sh stop still finds and stops it."""
    out = subprocess.run(["sh", "-c", shlex.join(argv) + " > /dev/null 2>&1 & echo $!"],
                         capture_output=True, text=True, check=True)
    with open(os.path.join(folder, "mysqld.pid"), "w") as f:
        f.write(out.stdout.strip() + "\n")
    deadline = time.monotonic() + 60
    while sql(socket, "SELECT 1", check=False) is None:
        if time.monotonic() > deadline:
            raise RuntimeError("mariadbd did not come back within 60 s")
        time.sleep(0.1)


def wait_rows(socket, count, seconds=10):
    """The number of rows in estado once it has reached count, or after the
    time allowed: an INSERT may still be on its way when its event's status
    line has already been printed."""
    deadline = time.monotonic() + seconds
    while True:
        now = int(sql(socket, "SELECT COUNT(*) FROM embarcados.estado")[0][0])
        if now >= count or time.monotonic() > deadline:
            return now
        time.sleep(0.02)


def wait_threads_connected(socket, wanted, seconds=10):
    """The server's count of client threads once it has settled at wanted, or
    its last value after the time allowed. A closed connection leaves the
    count a moment after the client has gone; the query's own is left out."""
    deadline = time.monotonic() + seconds
    while True:
        now = status_value(socket, "Threads_connected") - 1
        if now == wanted or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


# ---- The program's console ----

def parse(lines):
    """Reads the events out of the console lines (texts without their
    newline). Returns (events, strays): one dict per event with key, state,
    date, ms, status (the recorder's lines after it, so far) and line (the
    index of its Botao line); strays, the lines that are not where the
    program would put them, as (index, text)."""
    events, strays = [], []
    i = 0
    if lines and lines[0] == START_LINE:
        i = 1
    elif lines:
        strays.append((0, lines[0]))
    while i < len(lines):
        start = i
        if lines[i] == PRESS_LINE:
            i += 1
            if i == len(lines):
                break  # the rest of this report is still to come
        report = REPORT.fullmatch(lines[i])
        if not report or (report.group(2) == "ON") != (start < i):
            strays.append((start, lines[start]))
            i = start + 1
            continue
        if i + 1 == len(lines):
            break
        millis = MILLIS.fullmatch(lines[i + 1])
        if not millis:
            strays.append((i + 1, lines[i + 1]))
            i += 2
            continue
        event = dict(key=int(report.group(1)), state=report.group(2), date=report.group(3),
                     ms=int(millis.group(1)), status=[], line=i)
        i += 2
        if event["state"] == "OFF":
            if i == len(lines):
                events.append(event)
                break
            if lines[i] != "":
                strays.append((i, lines[i]))
            i += 1
        while i < len(lines) and (lines[i] in (CONNECTED, NO_CONNECTION)
                                  or lines[i].startswith(NOT_STORED)):
            event["status"].append(lines[i])
            i += 1
        events.append(event)
    return events, strays


def taps(keys):
    """A press and a release of each key in turn."""
    return [f"{action} {key}" for key in keys for action in ("press", "release")]


def transitions(actions):
    """The (key, state) each key action makes, in order."""
    return [(int(a.split()[1]), "ON" if a.startswith("press") else "OFF")
            for a in actions if a.split()[0] in ("press", "release")]


def stored(event):
    """The row an event's report says was stored, or None."""
    if event["status"] != [CONNECTED]:
        return None
    return (event["key"], event["state"] + " ", event["date"] + "\n", event["ms"])


class Teclado:
    """The binary running on the simulated keypad: key actions go in through
    a pipe, console lines are collected with the time each one arrived."""

    def __init__(self, command, socket):
        env = dict(os.environ, MYSQL_UNIX_PORT=socket)
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines, self.arrived = [], []
        self.tail = b""  # an unfinished last line
        # Kept up to date as lines come, so that waiting costs nothing.
        self.reports = 0  # Botao lines
        self.statuses = 0  # the recorder's first line of an event
        self.refusals = 0  # Falha ao gravar lines
        self.err = b""
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read_out(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            now = time.monotonic()
            with self.changed:
                if not chunk:
                    self.changed.notify_all()
                    return
                *complete, self.tail = (self.tail + chunk).split(b"\n")
                for line in complete:
                    text = line.decode("ascii", "replace")
                    self.lines.append(text)
                    self.arrived.append(now)
                    if text.startswith("Botao "):
                        self.reports += 1
                    elif text in (CONNECTED, NO_CONNECTION):
                        self.statuses += 1
                    elif text.startswith(NOT_STORED):
                        self.refusals += 1
                self.changed.notify_all()

    def _read_err(self):
        while True:
            chunk = os.read(self.proc.stderr.fileno(), 65536)
            if not chunk:
                return
            with self.changed:
                self.err += chunk

    def send(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def end_input(self):
        self.proc.stdin.close()

    def wait(self, predicate, seconds):
        """Waits until predicate(self) holds; False if it did not in time."""
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self), seconds)

    def act(self, action, seconds, finished=True):
        """Sends one key action line and waits for the event it makes to be
        reported, and with finished, for the recorder's status line too.
        False if that did not come in time."""
        count = (self.statuses if finished else self.reports) + 1
        self.send(action + "\n")
        if finished:
            return self.wait(lambda t: t.statuses >= count, seconds)
        return self.wait(lambda t: t.reports >= count, seconds)

    def stderr_lines(self):
        with self.changed:
            return self.err.decode("ascii", "replace").splitlines()

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def cpu_seconds(self):
        """User and system time used so far (for qemu-arm: the emulator's)."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))

    def last_report_arrival(self):
        """When the latest Botao line arrived (monotonic seconds)."""
        with self.changed:
            for text, when in zip(reversed(self.lines), reversed(self.arrived)):
                if text.startswith("Botao "):
                    return when
        return None

    def stop(self, sig=signal.SIGKILL):
        """Ends the program with sig, as a service manager would, and
        collects all it printed. Returns whether it was still running."""
        running = self.proc.poll() is None
        if running:
            self.proc.send_signal(sig)
        self.proc.wait(timeout=60)
        for reader in self.readers:
            reader.join(timeout=10)
        if not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        return running


def drive(program, actions, seconds=10, finished=True, refused=False):
    """Closed loop: sends each key action once the event of the one before
    has been reported (and, with finished, recorded), so that no change is
    applied before the scan has seen the previous one. With refused, each
    event must also get its "Falha ao gravar" line, which comes after the
    status line. False, with a FAIL, at the first that does not come in time."""
    for action in actions:
        refusals = program.refusals + 1
        if not check(program.act(action, seconds, finished),
                     f"no event for '{action}' within {seconds} s"):
            return False
        if refused and not check(program.wait(lambda t: t.refusals >= refusals, seconds),
                                 f"no '{NOT_STORED}' line for '{action}' within {seconds} s"):
            return False
    return True


def check_console(program, actions, was_running=True, stderr_empty=True):
    """The console holds the start line and one report per key action, in
    order, and nothing else; standard error is empty (with stderr_empty);
    the program was still running when it was stopped. Returns the events."""
    events, strays = parse(program.lines)
    check(was_running, f"teclado stopped by itself with status {program.proc.returncode}")
    check(not strays, f"console lines out of place: {strays[:5]}")
    check(program.lines[:1] == [START_LINE], f"first console line {program.lines[:1]}")
    got = [(e["key"], e["state"]) for e in events]
    check(got == transitions(actions), f"events {got}, expected {transitions(actions)}")
    check(not stderr_empty or not program.err, f"standard error: {program.stderr_lines()[:5]}")
    return events


def check_phases(program, running, phases):
    """check_console for the key actions of all phases in turn, and each
    event followed by the recorder's lines wanted in its phase. phases:
    (name, actions, wanted lines). Returns the events."""
    events = check_console(program, [a for _, actions, _ in phases for a in actions], running)
    first = 0
    for name, actions, wanted in phases:
        for event in events[first:first + len(actions)]:
            check(event["status"] == wanted,
                  f"{name}: Botao {event['key']} {event['state']} was followed by "
                  f"{event['status']}, expected {wanted}")
        first += len(actions)
    return events


def check_rows(socket, events):
    """estado holds exactly the events whose report says they were stored,
    byte for byte and in order. Returns how many of those are missing."""
    wanted = [stored(e) for e in events if stored(e)]
    wait_rows(socket, len(wanted))
    got = rows(socket)
    check(got == wanted, f"rows of estado:\n  {got}\nexpected:\n  {wanted}")
    return sum((Counter(wanted) - Counter(got)).values())


def run_case(cases, usage):
    """The drivers' main: argv is CASE [emulator ...] path/to/teclado, the
    latter the command line that runs the binary (a cross build's runs it
    under qemu-arm). A case that breaks off still shows what it found."""
    if len(sys.argv) < 3 or sys.argv[1] not in cases:
        sys.exit(usage)
    try:
        cases[sys.argv[1]](sys.argv[2:])
    except Exception:
        traceback.print_exc()
        failures.append(f"{sys.argv[1]} broke off: {traceback.format_exc(limit=1).strip()}")
    return finish()


def work_folder(name):
    """A folder of the test's own under the build tree."""
    folder = os.path.join(os.environ.get("TECLADO_TEST_WORK", os.getcwd()), name)
    os.makedirs(folder, exist_ok=True)
    return folder
