#!/usr/bin/env python3
"""teclado's option file (TECLADO_CONFIG): the account and server it names
are the ones used, over verified TLS on TCP; a host list with a dead first
host; and a file the client library would misread stops the program at
start, naming the file and the line.

usage: option_file.py CASE [emulator ...] path/to/teclado
CASE: tls | hosts | cleartext | refused
'hosts' uses the shared server (MYSQL_UNIX_PORT); 'tls' starts one of its
own listening on 127.0.0.1, TLS only.
"""
import contextlib
import os
import re
import socket as sockets
import struct
import subprocess
import sys
import threading
import time

from teclado_run import (CONNECTED, CONNECT_LIMIT, CONNECTION_REASON, NO_CONNECTION, START_LINE,
                         Teclado, check, check_phases, check_rows, drive,
                         option_file, private_server, row_count, rows, run_case, sql, taps, until,
                         wait_rows)

ACCOUNT, PASSWORD = "placa1", "Pl4ca-tls-0921"


def run(command, socket, settings, name, actions, wanted):
    """The program with settings as its option file, driven through
    actions, each event followed by the lines wanted; returns the events
    and standard error's lines."""
    program = Teclado(command, socket, {"TECLADO_CONFIG": option_file(settings)})
    before = row_count(socket)
    try:
        drive(program, actions, seconds=CONNECT_LIMIT + 10)
        if wanted == [CONNECTED]:
            wait_rows(socket, before + len(actions))  # the last INSERT through before the kill
        # A failure's reason follows its console line: not killed before it.
        program.wait(lambda t: t.err.count(b"\n") >= t.lines.count(NO_CONNECTION), 10)
    finally:
        running = program.stop()
    events = check_phases(program, running, [(name, actions, wanted)])
    return events, program.err.decode("ascii", "replace").splitlines()


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


@contextlib.contextmanager
def server_without_tls():
    """A listener on 127.0.0.1 greeting as a MariaDB server that offers no
    TLS and then asks for the password in clear (mysql_clear_password);
    yields its port and a list that gets, per client, all it sent."""
    listener = sockets.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(0.1)
    capabilities = 0xFFFFFFFF & ~0x800  # all but CLIENT_SSL
    payload = (b"\x0a5.5.5-10.11.6-MariaDB\x00" + struct.pack("<I", 1) + b"abcdefgh\x00"
               + struct.pack("<HBHH", capabilities & 0xFFFF, 33, 2, capabilities >> 16)
               + b"\x15" + bytes(10) + b"ijklmnopqrst\x00mysql_native_password\x00")
    greeting = struct.pack("<I", len(payload))[:3] + b"\x00" + payload
    switch = b"\x2b\x00\x00\x02\xfemysql_clear_password\x00abcdefghijklmnopqrst\x00"
    sent, stop = [], threading.Event()

    def serve():
        while not stop.is_set():
            with contextlib.suppress(sockets.timeout):
                connection, _ = listener.accept()
                with connection:
                    connection.sendall(greeting)
                    connection.settimeout(CONNECT_LIMIT + 1)
                    got = b""
                    with contextlib.suppress(OSError):
                        while chunk := connection.recv(4096):
                            got += chunk
                            if len(got) == len(chunk):  # the login: switch to clear text
                                connection.sendall(switch)
                    sent.append(got)
    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield listener.getsockname()[1], sent
    finally:
        stop.set()
        thread.join(10)
        listener.close()


def tls(command):
    with private_server("option-file-tls", tls=True) as (folder, socket):
        certs = os.path.join(folder, "tls")
        with open(os.path.join(folder, "port")) as f:
            port = int(f.read())
        # Each row names the account that stored it.
        sql(socket, "ALTER TABLE embarcados.estado "
                    "ADD COLUMN conta VARCHAR(100) DEFAULT (CURRENT_USER());"
                    f"CREATE USER '{ACCOUNT}'@'127.0.0.1' IDENTIFIED BY '{PASSWORD}' REQUIRE SSL;"
                    f"GRANT INSERT ON embarcados.estado TO '{ACCOUNT}'@'127.0.0.1';")

        def settings(ca, where=f"host=127.0.0.1\nport={port}", verify="ssl-verify-server-cert=1\n"):
            return (f"[teclado]\n{where}\nuser={ACCOUNT}\npassword={PASSWORD}\n"
                    f"ssl-ca={ca}\n{verify}")

        # Verified TLS: stored, by the file's account.
        events, _ = run(command, socket, settings(os.path.join(certs, "ca.pem")),
                        "verified TLS", taps([5]), [CONNECTED])
        lost = check_rows(socket, events)
        accounts = sql(socket, "SELECT DISTINCT conta FROM embarcados.estado")
        check(accounts == [[f"{ACCOUNT}@127.0.0.1"]], f"rows stored by {accounts}")
        stored = len(rows(socket))

        # Refused, with the library's reason: another CA; a certificate of
        # the right CA for another name (swapped in with FLUSH SSL); a
        # server offering no TLS, to which nothing may be sent, even with
        # ssl-ca alone (the library would log in there in clear).
        other = os.path.join(certs, "other")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-days", "2", "-subj", "/CN=another CA", "-keyout", other + "-ca-key.pem",
                "-out", other + "-ca.pem")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-subj", "/CN=outro.example", "-keyout", other + "-key.pem", "-out", other + ".csr")
        san = option_file("subjectAltName=DNS:outro.example\n", certs)
        openssl("x509", "-req", "-in", other + ".csr", "-CA", os.path.join(certs, "ca.pem"),
                "-CAkey", os.path.join(certs, "ca-key.pem"), "-CAcreateserial", "-days", "2",
                "-extfile", san, "-out", other + ".pem")
        reasons = {}
        _, reasons["another CA"] = run(command, socket, settings(other + "-ca.pem"),
                                       "another CA", taps([6]), [NO_CONNECTION])
        for name in ("server.pem", "server-key.pem"):
            os.replace(os.path.join(certs, name), os.path.join(certs, "right-" + name))
        os.symlink(other + ".pem", os.path.join(certs, "server.pem"))
        os.symlink(other + "-key.pem", os.path.join(certs, "server-key.pem"))
        sql(socket, "FLUSH SSL")
        _, reasons["another name"] = run(command, socket, settings(os.path.join(certs, "ca.pem")),
                                         "another name", taps([7]), [NO_CONNECTION])
        with server_without_tls() as (plain, sent):
            _, reasons["no TLS"] = run(command, socket,
                                       settings(os.path.join(certs, "ca.pem"),
                                                f"host=127.0.0.1\nport={plain}", ""),
                                       "no TLS", taps([8]), [NO_CONNECTION])
        check(sent and not any(sent), f"sent to the server without TLS: {sent}")
        for name, lines in reasons.items():
            check(all(re.search("SSL|TLS|certificate", line) for line in lines),
                  f"{name}: the reason is not the TLS check's: {lines}")
        check(len(rows(socket)) == stored, "rows stored through a refused link")
    print(f"figure: option file, TLS: {stored} rows stored over verified TLS by {ACCOUNT}, "
          f"lost {lost}; refused: {'; '.join(f'{k}: {v[0][len(CONNECTION_REASON):]}' for k, v in reasons.items() if v)}")


def hosts(command):
    """A first host that takes no connection (its backlog full, as a
    machine that is down on the network drops the SYN) and the shared
    server second: every event stored, each costing no more than the
    connect limit, and at least its share for the dead host."""
    socket = os.environ["MYSQL_UNIX_PORT"]
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    dead = sockets.socket()
    dead.bind(("127.0.0.1", 0))
    dead.listen(0)
    filling = []
    for _ in range(3):
        client = sockets.socket()
        client.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            client.connect(dead.getsockname())
        filling.append(client)
    try:
        actions = taps([1, 44])
        program = Teclado(command, socket, {"TECLADO_CONFIG": option_file(
            f"[teclado]\nhost=127.0.0.1:{dead.getsockname()[1]},localhost\n")})
        try:
            drive(program, actions, seconds=CONNECT_LIMIT + 10)
        finally:
            running = program.stop()
    finally:
        for client in filling + [dead]:
            client.close()
    events = check_phases(program, running, [("dead first host", actions, [CONNECTED])])
    lost = check_rows(socket, events)
    # From each report to its recorder's line: the keypad is not scanned.
    blind = [program.arrived[e["line"] + 2 + (e["state"] == "OFF")] - program.arrived[e["line"]]
             for e in events if e["status"]]
    low, high = CONNECT_LIMIT / 2 - 0.3, CONNECT_LIMIT + 0.5
    check(blind and all(low <= b <= high for b in blind),
          f"blind per event {', '.join(f'{b:.2f}' for b in blind)} s, expected {low} to {high}")
    print(f"figure: host=dead,good: blind per event worst {max(blind, default=0):.2f} s of "
          f"{len(blind)} (connect limit {CONNECT_LIMIT} s, half to each host), rows lost {lost}")


def cleartext(command):
    """Without a TLS key no password byte, with any one alone no byte at all;
    one program, its file (read at every event) changed before each."""
    keys = "ssl-enforce=1 ssl-verify-server-cert=1 tls-enforce=1 tls-verify-peer=1 ssl-fp-list=x " \
        "tls-version=TLSv1.3".split() + [f"{prefix}-{key}=x" for prefix in ("ssl", "tls") for key
                                          in "ca capath cert key crl crlpath cipher passphrase fp "
                                             "fplist".split()]
    path = option_file("[teclado]\n")
    with server_without_tls() as (port, sent):
        program = Teclado(command, path + ".no-socket", {"TECLADO_CONFIG": path})
        try:
            for n, key in enumerate([""] + keys):
                with open(path, "w") as f:
                    f.write(f"[teclado]\nhost=127.0.0.1:{port}\npassword={PASSWORD}\n{key}\n")
                drive(program, [("press 1", "release 1")[n % 2]], seconds=CONNECT_LIMIT + 10)
                check(until(lambda: len(sent), lambda k: k > n, 5) and (
                      PASSWORD.encode() not in sent[n] if not key else sent[n] == b""),
                      f"{key or 'no TLS key'}: the server got {sent[n:n + 1]}")
        finally:
            program.stop()
    print(f"figure: option file: to a clear-text server no password byte, none with {len(keys)} keys")


def refused(command):
    """Exit 1 at start, nothing on standard output, one line naming the
    file and the line."""
    work = os.environ.get("TECLADO_TEST_WORK", os.getcwd())
    os.makedirs(work, exist_ok=True)
    fifo, readable = os.path.join(work, "fifo.cnf"), option_file("[teclado]\npassword=x\n", work)
    with contextlib.suppress(FileExistsError):
        os.mkfifo(fifo, 0o600)
    os.chmod(readable, 0o644)
    os.symlink(readable, readable + ".link")
    cases = [
        ("misspelt key", "[teclado]\nhost=localhost\nusr=teclado\n",
         r"{}:3: chave desconhecida 'usr'"),
        ("a key alone, which the library reads as 0", "[teclado]\nssl-verify-server-cert\n",
         r"{}:2: falta o valor de ssl-verify-server-cert"),
        ("out of range", "[teclado]\n# board 7\nconnect-timeout=0\n",
         r"{}:3: connect-timeout=0: use um numero"),
        ("a host list with a hole", "[client]\nhost=db1:3306,,db2\n", r"{}:2: .*host vazio"),
        ("no closing bracket", "[teclado]\nhost=[::1\n", r"{}:2: .*falta o ']'"),
        ("text after the bracket", "[teclado]\nhost=[::1]x:3306\n", r"{}:2: .*so cabe :porta"),
        ("a port on the socket", "[teclado]\nhost=db,localhost:3307\n", r"{}:2: .*socket local"),
        ("a FIFO", fifo, r"{}: .*um FIFO"),
        ("1 MiB", "#" * 2**20, r"{}: 1048576 bytes, mais que o limite de 64 KiB"),
        ("a link to a 0644 file with a password", readable + ".link", r"{}: tem senha .*chmod "),
        ("a folder", None, r"{}: nao pode ser lido: "),
        ("a file not there", "", r"{}: nao pode ser lido: "),
    ]
    for name, text, wanted in cases:
        if text is None:
            path = work
        elif text.startswith("/"):
            path = text
        elif text:
            path = option_file(text)
        else:
            path = os.path.join(work, "no-such.cnf")
        out = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=30,
                             env=dict(os.environ, TECLADO_CONFIG=path))
        err = out.stderr.decode("ascii", "replace")
        check(out.returncode == 1 and out.stdout == b"" and err.count("\n") == 1
              and re.match("teclado: " + wanted.format(re.escape(path)), err),
              f"{name}: status {out.returncode}, standard output {out.stdout[:100]!r}, "
              f"standard error {err!r}")
    print(f"figure: option file refused at start: {len(cases)} cases, exit 1 before "
          f"'{START_LINE}'")


if __name__ == "__main__":
    sys.exit(run_case({"tls": tls, "hosts": hosts, "cleartext": cleartext, "refused": refused},
                      __doc__))
