"""What the tests that run the real teclado binary, and the benchmarks,
share: the program on the simulated keypad fed through a pipe, its console
read back into events, its processor time, SQL through the mariadb client,
waiting for rows, and private servers of a test's own.

A case records its findings with check(); every FAIL is printed at the end,
also when the case breaks off.
"""
import atexit
import contextlib
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from collections import Counter

# The repository: this file is in tests/drivers/.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The console lines and the defaults, as the program has them.
import textos  # made from src/console.h and config.h

# The private servers' root password, and the program's default.
PASSWORD = textos.BANCO_SENHA
# The recorder's default time limits (config.h), in seconds.
CONNECT_LIMIT = textos.BANCO_LIMITE_CONEXAO_S
READ_LIMIT = textos.BANCO_LIMITE_LEITURA_S
WRITE_LIMIT = textos.BANCO_LIMITE_ESCRITA_S

START_LINE = textos.LINHA_DE_INICIO
PRESS_LINE = textos.LINHA_DE_PRESSAO
CONNECTED = textos.LINHA_CONECTADO
NO_CONNECTION = textos.LINHA_SEM_CONEXAO
NOT_STORED = textos.INICIO_NAO_GRAVADO
NO_TABLE = NOT_STORED + "Table 'embarcados.estado' doesn't exist"
# The link lost or cut after the statement was sent: the row may be there or not.
UNCERTAIN = textos.INICIO_INCERTO
# Standard error's line after each "Falha de conexao": the client library's reason.
CONNECTION_REASON = "teclado: banco de dados: "
# Key codes as printed, row by row.
from mapa_do_teclado import KEYS  # made from src/mapa_do_teclado.h

DATE = r"(\w{3} \w{3} [ 123]\d \d\d:\d\d:\d\d \d{4})"
# "Botao 5 ON em: <date>", then " somados 123 milisegundos": the date's
# newline splits a report in two lines.
BUTTON = textos.FORMATO_DO_BOTAO.split("%")[0]
_ON, _MILLIS = textos.FORMATO_DE_ON.split("%s")
REPORT = re.compile(re.escape(textos.FORMATO_DO_BOTAO).replace("%d", r"(\d+)")
                    + re.escape(_ON).replace("ON", "(ON|OFF)", 1) + DATE)
MILLIS = re.compile(re.escape(_MILLIS.rstrip("\n")).replace("%d", r"(\d{1,3})"))


failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def finish():
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


def until(read, done, seconds, step=0.05):
    """read() once done() holds for its value, or its last value in time."""
    deadline = time.monotonic() + seconds
    while True:
        value = read()
        if done(value) or time.monotonic() > deadline:
            return value
        time.sleep(step)


def settled(read, seconds, step):
    """read() once two reads step apart agree, or its last value in time:
    a count that something is still adding to."""
    last = [None]

    def same(value):
        done, last[0] = value == last[0], value
        return done
    time.sleep(step)
    return until(read, same, seconds, step)


def cpu_ns(pid):
    """Processor time used so far by every thread of pid, in ns (under
    qemu-arm: the emulator's)."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        return total
    except FileNotFoundError:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1e9 / os.sysconf("SC_CLK_TCK")


# ---- SQL and private servers ----

def option_file(text, folder=None):
    """A 0600 option file holding text, removed when the test ends: how a
    password reaches a client without showing on a command line."""
    fd, path = tempfile.mkstemp(suffix=".cnf", dir=folder)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    atexit.register(lambda: os.path.exists(path) and os.unlink(path))
    return path


_client_files = {}


def client_file(user="root", password=PASSWORD):
    """The mariadb client's --defaults-file for an account: its password
    never shows on a command line."""
    if (user, password) not in _client_files:
        _client_files[user, password] = option_file(
            f"[client]\nuser={user}\npassword={password}\n")
    return "--defaults-file=" + _client_files[user, password]


def client(socket, text, options=(), user="root", password=PASSWORD, timeout=30):
    """The mariadb client run on text: the statements go through standard
    input, the password through a file, so an IDENTIFIED BY never shows in
    ps. Returns the finished process, output as text."""
    return subprocess.run(["mariadb", client_file(user, password), "--socket=" + socket,
                           *options], input=text, capture_output=True, text=True,
                          timeout=timeout)


def sql(socket, statement, user="root", password=PASSWORD, check=True, timeout=30):
    """Rows of the result as lists of texts; with check=False, None when the
    statement is refused."""
    out = client(socket, statement, ["--batch", "--skip-column-names"], user, password, timeout)
    if out.returncode != 0:
        if check:
            raise RuntimeError(f"mariadb: {statement}: {out.stderr.strip()}")
        return None
    return [line.split("\t") for line in out.stdout.splitlines()]


def rows(socket):
    """estado in insert order as (key, state, date, ms), texts as stored."""
    got = sql(socket, "SELECT TECLA, HEX(ESTADO), HEX(DATA), ms FROM embarcados.estado ORDER BY id")
    return [(int(k), bytes.fromhex(s).decode(), bytes.fromhex(d).decode(), int(ms))
            for k, s, d, ms in got]


def load_schema(socket, first=""):
    """sql/estado.sql loaded through the client's standard input, after the
    statements first (a name for the board, a table dropped)."""
    with open(os.path.join(ROOT, "sql", "estado.sql")) as f:
        schema = f.read()
    out = client(socket, first + "\n" + schema, timeout=60)
    if out.returncode != 0:
        raise RuntimeError(f"mariadb: estado.sql: {out.stderr.strip()}")


def row_count(socket, where=""):
    return int(sql(socket, f"SELECT COUNT(*) FROM embarcados.estado {where}")[0][0])


def last_id(socket):
    return int(sql(socket, "SELECT COALESCE(MAX(id), 0) FROM embarcados.estado")[0][0])


def wait_rows(socket, count, seconds=10):
    """The row count once it reaches count: an INSERT may still be on its way
    when its status line is already printed."""
    return until(lambda: row_count(socket), lambda n: n >= count, seconds, 0.02)


def wait_threads_connected(socket, wanted, seconds=10):
    """The server's client threads, the query's own left out, once settled at
    wanted: a closed connection leaves the count a moment after the client."""
    return until(lambda: int(sql(socket, "SHOW GLOBAL STATUS LIKE 'Threads_connected'")[0][1]) - 1,
                 lambda n: n == wanted, seconds)


SERVER_SCRIPT = os.path.join(ROOT, "scripts", "private-mariadb.sh")


def start_server(folder, tls=False, options=None):
    """private-mariadb.sh start in folder, the server's options (a text)
    added when given; returns its socket."""
    # Its own socket in folder, never the shared server's path.
    env = {k: v for k, v in os.environ.items() if k != "TECLADO_DB_SOCKET"}
    if options is not None:
        env["TECLADO_DB_SERVER_OPTIONS"] = folder + ".cnf"
        with open(env["TECLADO_DB_SERVER_OPTIONS"], "w") as f:
            f.write(options)
    subprocess.run([SERVER_SCRIPT, "start", folder] + (["tls"] if tls else []), check=True,
                   stdout=subprocess.DEVNULL, timeout=120, env=env)
    with open(os.path.join(folder, "socket")) as f:
        return f.read().strip()


def stop_server(folder):
    subprocess.run([SERVER_SCRIPT, "stop", folder], stdout=subprocess.DEVNULL, timeout=120)


@contextlib.contextmanager
def private_server(name, tls=False):
    """A server of the test's own in a folder under the build tree, stopped
    afterwards whatever state it is in; yields (folder, socket). With tls
    it also listens on 127.0.0.1, TLS only, on the port in folder/port,
    its CA in folder/tls/ca.pem."""
    folder = os.path.join(os.environ.get("TECLADO_TEST_WORK", os.getcwd()), name)
    try:
        yield folder, start_server(folder, tls)
    finally:
        stop_server(folder)


def socket_link(folder, socket):
    """A link to the server's socket that the program is given, so that the
    server can be swapped or taken away under it."""
    link = os.path.join(folder, "teclado.sock")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(socket, link)
    return link


def server_pid(folder):
    with open(os.path.join(folder, "mysqld.pid")) as f:
        return int(f.read())


def shut_down_server(folder, sig=signal.SIGTERM):
    """Shuts the server down as an operator would (SIGTERM), or as a crash
    does (SIGKILL); returns the command line that brings it back on the
    same data."""
    pid = server_pid(folder)
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        argv = [a.decode() for a in f.read().split(b"\0") if a]
    os.kill(pid, sig)

    def gone():
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except FileNotFoundError:
            return True
    if not until(gone, bool, 60):
        raise RuntimeError(f"mariadbd {pid} still running 60 s after signal {sig}")
    return argv


def bring_back_server(folder, argv, socket):
    """Starts mariadbd with argv, detached as the start script does, so that
    private-mariadb.sh stop still finds it."""
    out = subprocess.run(["sh", "-c", shlex.join(argv) + " > /dev/null 2>&1 & echo $!"],
                         capture_output=True, text=True, check=True)
    with open(os.path.join(folder, "mysqld.pid"), "w") as f:
        f.write(out.stdout.strip() + "\n")
    if until(lambda: sql(socket, "SELECT 1", check=False), bool, 60, 0.1) is None:
        raise RuntimeError(f"mariadbd in {folder} did not come back within 60 s")


# ---- The program's console ----

def parse(lines):
    """The events in the console lines: (events, strays). An event is a dict
    of key, state, date, ms, status (the recorder's lines after it so far)
    and line (index of its Botao line); strays are (index, text) of lines
    not where the program would put them."""
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
                                  or lines[i].startswith((NOT_STORED, UNCERTAIN))):
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


def row_of(event):
    return (event["key"], event["state"] + " ", event["date"] + "\n", event["ms"])


def stored(event):
    """The row an event's report says was stored, or None."""
    return row_of(event) if event["status"] == [CONNECTED] else None


def uncertain(event):
    """Whether the event's report leaves its row open: the link went after
    the statement was sent."""
    return len(event["status"]) == 2 and event["status"][1].startswith(UNCERTAIN)


class Teclado:
    """The binary on the simulated keypad: key actions go in through a pipe,
    console lines are collected with the time each arrived, and counted as
    they come so that waiting for them costs nothing."""

    def __init__(self, command, socket, env=None):
        env = dict(os.environ, MYSQL_UNIX_PORT=socket, **(env or {}))
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines, self.arrived = [], []
        self.tail = b""  # an unfinished last line
        self.reports = self.statuses = self.refusals = 0  # Botao, first recorder, Falha ao gravar
        self.err = b""
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(stream,), daemon=True)
                        for stream in (self.proc.stdout, self.proc.stderr)]
        for reader in self.readers:
            reader.start()

    def _read(self, stream):
        while chunk := os.read(stream.fileno(), 65536):
            now = time.monotonic()
            with self.changed:
                if stream is self.proc.stderr:
                    self.err += chunk
                else:
                    self._add_lines(chunk, now)
                # Waiters on standard error too: a reason that came after
                # its console line would otherwise be seen only at timeout.
                self.changed.notify_all()

    def _add_lines(self, chunk, now):
        *complete, self.tail = (self.tail + chunk).split(b"\n")
        for line in complete:
            text = line.decode("ascii", "replace")
            self.lines.append(text)
            self.arrived.append(now)
            self.reports += text.startswith(BUTTON)
            self.statuses += text in (CONNECTED, NO_CONNECTION)
            self.refusals += text.startswith(NOT_STORED)

    def send(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def wait(self, predicate, seconds):
        """Whether predicate(self) came to hold in time."""
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self), seconds)

    def act(self, action, seconds, finished=True):
        """Sends one key action and waits for its event's report, with
        finished for its status line too; False if it did not come in time."""
        counter = "statuses" if finished else "reports"
        count = getattr(self, counter) + 1
        self.send(action + "\n")
        return self.wait(lambda t: getattr(t, counter) >= count, seconds)

    def proc_file(self, name):
        with open(f"/proc/{self.proc.pid}/{name}") as f:
            return f.read()

    def stop(self, sig=signal.SIGKILL):
        """Ends the program with sig, as a service manager would, and
        collects all it printed. Returns whether it was still running."""
        running = self.proc.poll() is None
        if running:
            self.proc.send_signal(sig)
        self.proc.wait(timeout=60)
        for reader in self.readers:
            reader.join(timeout=10)
        with contextlib.suppress(BrokenPipeError):
            self.proc.stdin.close()
        return running


def stream(program, keys, stop, pace):
    """Taps keys in turn, each event once the one before is stored, pace
    seconds apart, until stop is set: load on a server while a test does
    something else."""
    i = 0
    while not stop.is_set():
        key = keys[i % len(keys)]
        i += 1
        for action in (f"press {key}", f"release {key}"):
            if not check(program.act(action, 10), f"no event for '{action}' within 10 s"):
                return
        time.sleep(pace)


def drive(program, actions, seconds=10, finished=True, refused=False):
    """Closed loop: each key action goes once the event of the one before is
    reported (with finished, recorded; with refused, also refused), so no
    change is applied before the scan has seen the previous one. False, with
    a FAIL, at the first event that does not come in time."""
    for action in actions:
        refusals = program.refusals + 1
        if not check(program.act(action, seconds, finished),
                     f"no event for '{action}' within {seconds} s"):
            return False
        if refused and not check(program.wait(lambda t: t.refusals >= refusals, seconds),
                                 f"no '{NOT_STORED}' line for '{action}' within {seconds} s"):
            return False
    return True


def console_events(program, was_running=True, stderr_empty=True):
    """Checks what every run must show: still running when stopped, the
    start line first, every line in its place and finished, standard error
    (with stderr_empty) holding nothing but one reason per failed
    connection. Returns the events."""
    events, strays = parse(program.lines)
    check(was_running, f"teclado stopped by itself with status {program.proc.returncode}")
    check(program.lines[:1] == [START_LINE], f"first console line {program.lines[:1]}")
    check(not strays, f"console lines out of place: {strays[:5]}")
    check(program.tail == b"", f"console ends inside a line: {program.tail!r}")
    reasons = program.err.decode("ascii", "replace").splitlines()
    failed = sum(e["status"][:1] == [NO_CONNECTION] for e in events)
    check(not stderr_empty or (len(reasons) == failed and all(
        r.startswith(CONNECTION_REASON) and len(r) > len(CONNECTION_REASON) for r in reasons)),
          f"standard error, expected one '{CONNECTION_REASON}...' line for each of the {failed} "
          f"'{NO_CONNECTION}': {program.err[:300]!r}")
    return events


def check_console(program, actions, was_running=True, stderr_empty=True):
    """console_events, and one report per key action, in order."""
    events = console_events(program, was_running, stderr_empty)
    got = [(e["key"], e["state"]) for e in events]
    check(got == transitions(actions), f"events {got}, expected {transitions(actions)}")
    return events


def check_phases(program, running, phases):
    """check_console for the actions of all phases, each event followed by
    the recorder's lines wanted in its phase; phases: (name, actions,
    wanted lines). Returns the events."""
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
    """estado holds, byte for byte and in order, every event reported
    stored, none reported failed, and those reported uncertain or not. Returns
    how many of those reported stored are missing."""
    wanted = [stored(e) for e in events if stored(e)]
    wait_rows(socket, len(wanted))
    got = rows(socket)
    matched = 0
    for event in events:
        if matched < len(got) and got[matched] == row_of(event) and (stored(event)
                                                                  or uncertain(event)):
            matched += 1
    lost = sum((Counter(wanted) - Counter(got)).values())
    check(matched == len(got) and lost == 0,
          f"rows of estado:\n  {got}\nexpected:\n  {wanted}\n"
          f"and perhaps any of the uncertain:\n  {[row_of(e) for e in events if uncertain(e)]}")
    return lost


def run_case(cases, usage):
    """The drivers' main: argv is CASE [emulator ...] path/to/teclado."""
    if len(sys.argv) < 3 or sys.argv[1] not in cases:
        sys.exit(usage)
    try:
        cases[sys.argv[1]](sys.argv[2:])
    except Exception:
        traceback.print_exc()
        failures.append(f"{sys.argv[1]} broke off: {traceback.format_exc(limit=1).strip()}")
    return finish()
