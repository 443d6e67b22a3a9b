#!/usr/bin/env python3
"""The real teclado-relatorio binary against the private MariaDB
(MYSQL_UNIX_PORT), over rows this test writes as teclado writes them: key 0
and key 44, a bouncing key, a press with no release, a release with no
press, pairs across the bounds of a period. Then the view estado_eventos,
bad command lines, and servers it cannot use.

usage: relatorio.py [emulator ...] path/to/teclado-relatorio
"""
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

from teclado_run import KEYS, PASSWORD, ROOT, check, finish, load_schema, sql

# The version CMakeLists.txt gives the project, which --version prints.
with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
    VERSION = re.search(r"project\(teclado VERSION ([0-9.]+)", f.read())[1]

DAY = datetime(2026, 3, 10)
D, D1, D_1 = "2026-03-10", "2026-03-11", "2026-03-09"


def at(day, clock):
    """An instant: day offset from DAY and "HH:MM:SS.mmm"."""
    h, m, s = clock.split(":")
    return DAY + timedelta(days=day, hours=int(h), minutes=int(m), seconds=float(s))


# (key, event, instant), in the order teclado would have stored them.
EVENTS = [
    (1, "ON", at(-1, "23:59:59.900")), (1, "OFF", at(0, "00:00:00.100")),  # across --desde D
    (0, "ON", at(0, "09:00:00.100")), (44, "ON", at(0, "09:00:00.200")),  # held together
    (0, "OFF", at(0, "09:00:00.350")), (44, "OFF", at(0, "09:00:01.050")),
    (5, "ON", at(0, "10:00:00.000")), (5, "OFF", at(0, "10:00:00.003")),  # bouncing
    (5, "ON", at(0, "10:00:00.005")), (5, "OFF", at(0, "10:00:00.007")),
    (5, "ON", at(0, "10:00:00.010")), (5, "OFF", at(0, "10:00:00.130")),
    (7, "ON", at(0, "11:00:00.000")),  # its release lost: the next press starts afresh
    (7, "ON", at(0, "11:30:00.000")), (7, "OFF", at(0, "11:30:00.400")),
    (9, "OFF", at(0, "12:00:00.000")),  # a release with no press
    (44, "ON", at(0, "13:00:00.950")), (44, "OFF", at(0, "13:00:01.100")),  # across a second
    (2, "ON", at(0, "23:00:00.000")), (2, "OFF", at(0, "23:00:00.400")),
    (2, "ON", at(0, "23:59:59.800")), (2, "OFF", at(1, "00:00:00.200")),  # across --ate D
    (3, "ON", at(1, "08:00:00.000")), (3, "OFF", at(1, "08:00:00.050")),  # 151 ms over 3:
    (3, "ON", at(1, "08:00:01.000")), (3, "OFF", at(1, "08:00:01.051")),  # 50.33 rounds down
    (3, "ON", at(1, "08:00:02.000")), (3, "OFF", at(1, "08:00:02.050")),
    (8, "ON", at(1, "08:30:00.000")), (8, "OFF", at(1, "08:30:00.021")),
    (6, "ON", at(1, "09:00:00.000")),  # still held
]


def when(day, clock):
    return at(day, clock).strftime("%Y-%m-%d %H:%M:%S.%f")[:23]


# Expected --tsv lines per period, key: (presses, mean, max, last press, unpaired);
# keys not named are all zero and empty.
WHOLE = {1: (1, 200, 200, when(-1, "23:59:59.900"), 0), 2: (2, 400, 400, when(0, "23:59:59.800"), 0),
         3: (3, 50, 51, when(1, "08:00:02.000"), 0), 8: (1, 21, 21, when(1, "08:30:00.000"), 0), 5: (3, 42, 120, when(0, "10:00:00.010"), 0),
         6: (0, "", "", when(1, "09:00:00.000"), 1), 7: (1, 400, 400, when(0, "11:30:00.000"), 1),
         9: (0, "", "", "", 1), 0: (1, 250, 250, when(0, "09:00:00.100"), 0),
         44: (2, 500, 850, when(0, "13:00:00.950"), 0)}
DAY_D = {k: v for k, v in WHOLE.items() if k not in (1, 3, 6, 8)}
FROM_D1 = {3: WHOLE[3], 6: WHOLE[6], 8: WHOLE[8]}
UP_TO_D_1 = {1: WHOLE[1]}


def tsv(expected):
    lines = ["TECLA\tPRESSOES\tMEDIA_MS\tMAX_MS\tULTIMA\tSEM_PAR"]
    for k in KEYS:
        n, mean, top, last, alone = expected.get(k, (0, "", "", "", 0))
        lines.append(f"{k}\t{n}\t{mean}\t{top}\t{last}\t{alone}")
    return "\n".join(lines) + "\n"


def check_picture(svg):
    lint = subprocess.run(["xmllint", "--noout", svg], capture_output=True, text=True, timeout=30)
    check(lint.returncode == 0, f"xmllint: {lint.stderr}")
    with open(svg) as f:
        picture = f.read()
    for part in ("<svg xmlns=\"http://www.w3.org/2000/svg\"", ">44</text>", ">2 pressoes</text>",
                 ">3 pressoes</text>", ">1 pressao</text>", "Pressoes por hora", ">2026-03-10 00h<",
                 ">2026-03-10 23h<"):
        check(part in picture, f"picture lacks {part!r}")
    # One bar per hour of day D, in order, each standing on the axis, as tall
    # against the tallest as its count against the largest.
    per_hour = [0] * 24
    for k, e, t in EVENTS:
        if e == "ON" and t.date() == DAY.date() and k in DAY_D:
            per_hour[t.hour] += 1
    per_hour[11] -= 1  # key 7's first press has no release
    axis = re.search(r'<line x1="[\d.]+" y1="([\d.]+)" x2="[\d.]+" y2="\1"', picture)
    bars = [tuple(map(float, b)) for b in re.findall(
        r'<rect x="([\d.]+)" y="([\d.]+)" width="[\d.]+" height="([\d.]+)" fill="#08306b"/>',
        picture)]
    if check(axis and len(bars) == 24, f"picture: {len(bars)} bars, expected 24, axis {axis}"):
        tallest = max(h for _, _, h in bars)
        for hour, ((x, y, h), n) in enumerate(zip(bars, per_hour)):
            check(abs(y + h - float(axis[1])) < 0.01,
                  f"bar {hour}h: bottom edge at y={y + h:.2f}, the axis at y={axis[1]}")
            check(abs(h / tallest - n / max(per_hour)) < 0.001,
                  f"bar {hour}h: height {h:.2f} of {tallest:.2f}, count {n} of {max(per_hour)}")
        check([x for x, _, _ in bars] == sorted(x for x, _, _ in bars), "bars out of hour order")


# ---- Odd rows: what the report cannot understand is left out and said ----

E, F = DAY + timedelta(days=22), DAY + timedelta(days=23)
ES, FS = E.strftime("%Y-%m-%d"), F.strftime("%Y-%m-%d")


def ctime(day, h, m, s):
    return (day + timedelta(hours=h, minutes=m, seconds=s)).ctime() + "\n"


# (key, ESTADO, DATA, ms) as stored
ODD = [
    (1, "ON ", ctime(E, 10, 0, 0), 0), (1, "OFF ", "lixo\n", 100),  # DATA unreadable
    (2, "ON ", ctime(E, 10, 0, 1), 1500), (2, "OFF ", ctime(E, 10, 0, 2), 100),  # ms out of range
    (3, "ON ", ctime(E, 10, 0, 5), 0), (3, "OFF ", ctime(E, 10, 0, 4), 0),  # clock set back
    (3, "ON ", ctime(E, 10, 1, 0), 0), (3, "OFF ", ctime(E, 10, 1, 0), 100),
    (99, "ON ", ctime(E, 11, 0, 0), 0), (99, "OFF ", ctime(E, 11, 0, 0), 500),  # no such key
    (5, "ON ", ctime(E, 12, 0, 0), 0), (5, "XX ", ctime(E, 12, 0, 0), 100),  # no such ESTADO
    (5, "OFF ", ctime(E, 12, 0, 0), 200),
    (6, "ON ", ctime(F, 13, 0, 0), 0), (6, "OFF ", ctime(F, 16, 0, 0), 0),  # held 3 h: 8 digits
    # No such day: the server's indexed instant is NULL, and the row still stored.
    (8, "ON ", "Mon Feb 30 10:00:00 2026\n", 0),
]
# Two boards, ids interleaved on key 4, each press released on its own board
# (the day before E, out of the periods below); key 3 in order on porta-b,
# whose pair is not porta-a's clock set back.
C = E - timedelta(days=1)
BOARDS = [("porta-a", 4, "ON ", ctime(C, 9, 0, 0), 0), ("porta-b", 4, "ON ", ctime(C, 9, 0, 0), 100),
          ("porta-a", 4, "OFF ", ctime(C, 9, 0, 0), 300), ("porta-b", 4, "OFF ", ctime(C, 9, 0, 0), 900),
          ("porta-b", 3, "ON ", ctime(C, 9, 0, 0), 200), ("porta-b", 3, "OFF ", ctime(C, 9, 0, 0), 500)]
CS = C.strftime("%Y-%m-%d")
IGNORED = ("10 linhas ignoradas: 2 data ilegivel, 1 ms fora de 0-999, 1 estado desconhecido,"
           " 2 tecla desconhecida, 2 par de linha ignorada, 2 soltura antes da pressao")
ODD_WHOLE = {3: (2, 200, 300, f"{ES} 10:01:00.000", 0), 5: (1, 200, 200, f"{ES} 12:00:00.000", 0),
             6: (1, 10800000, 10800000, f"{FS} 13:00:00.000", 0),
             4: (2, 550, 800, f"{CS} 09:00:00.100", 0)}
# Per board: events (those left out included), presses, latest event, unpaired.
PER_BOARD = ("PLACA\tEVENTOS\tPRESSOES\tULTIMO\tSEM_PAR\n"
             f"porta-a\t{len(ODD) + 2}\t4\t{FS} 16:00:00.000\t0\n"
             f"porta-b\t4\t2\t{CS} 09:00:00.900\t0\n")


def odd_rows(command, db, env, work):
    sql(db, "TRUNCATE TABLE embarcados.estado")
    rows = [("porta-a", *row) for row in ODD[:2]] + BOARDS + [("porta-a", *row) for row in ODD[2:]]
    values = ", ".join(f"('{p}', '{k}', '{e}', '{d}', '{ms}')" for p, k, e, d, ms in rows)
    sql(db, f"INSERT INTO embarcados.estado(placa, TECLA, ESTADO, DATA, ms) values {values}")
    day_e, day_f, own = (os.path.join(work, n) for n in ("e.svg", "f.svg", "b.svg"))
    # (arguments, what to look at in stdout or the picture, what it must be)
    cases = [
        (["--tsv"], lambda out: out, tsv(ODD_WHOLE) + PER_BOARD + IGNORED + "\n"),
        ([], lambda out: out.splitlines()[20:23],
         ["PLACA     EVENTOS  PRESSOES  ULTIMO                   SEM_PAR",
          f"porta-a {len(ODD) + 2:>9}         4  {FS} 16:00:00.000        0",
          f"porta-b         4         2  {CS} 09:00:00.900        0"]),
        # One board: its own pairs, no summary, nothing of the other's odd rows.
        (["--tsv", "--placa", "porta-b"], lambda out: out, tsv({3: (1, 300, 300, f"{CS} 09:00:00.200", 0),
                                                              4: (1, 800, 800, f"{CS} 09:00:00.100", 0)})),
        # Key 3, out of id order on porta-a, read again for porta-a alone.
        (["--tsv", "--placa", "porta-a"], lambda out: out,
         tsv({3: (1, 100, 100, f"{ES} 10:01:00.000", 0), 4: (1, 300, 300, f"{CS} 09:00:00.000", 0),
              5: ODD_WHOLE[5], 6: ODD_WHOLE[6]}) + IGNORED + "\n"),
        # The bars of one board: not porta-a's pair in the same hour.
        (["--placa", "porta-b", "--svg", own], lambda _: picture_counts(own)[:2],
         (2, "2 pressoes, 0 sem par")),
        # Columns stay aligned around an 8-digit hold; the reasons close the table.
        ([], lambda out: (len({len(x) for x in out.splitlines()[1:19]}), out.splitlines()[-1]),
         (1, IGNORED)),
        # The bars count the pairs the table counts, not key 99's.
        (["--desde", ES, "--ate", ES, "--svg", day_e], lambda _: picture_counts(day_e),
         (2, "2 pressoes, 0 sem par", IGNORED)),
        (["--desde", FS, "--svg", day_f], lambda _: picture_counts(day_f)[:2],
         (1, "1 pressao, 0 sem par")),
    ]
    for args, seen, want in cases:
        run = subprocess.run(command + args, env=env, capture_output=True, text=True, timeout=60)
        name = "odd rows " + (" ".join(args) or "(no arguments)")
        if check(run.returncode == 0 and run.stderr == "",
                 f"{name}: status {run.returncode}, stderr {run.stderr!r}"):
            got = seen(run.stdout)
            check(got == want, f"{name}: got\n{got}\nexpected\n{want}")
    # Without the clock set back every key's rows come in id order, and the
    # client pairs them itself: the same figures, less that pair.
    sql(db, f"DELETE FROM embarcados.estado WHERE TECLA = 3"
            f" AND DATA IN ('{ctime(E, 10, 0, 5)}', '{ctime(E, 10, 0, 4)}')")
    run = subprocess.run(command + ["--tsv"], env=env, capture_output=True, text=True, timeout=60)
    in_order = (tsv(ODD_WHOLE) + PER_BOARD.replace(f"\t{len(ODD) + 2}\t", f"\t{len(ODD)}\t")
                + IGNORED.replace("10 linhas", "8 linhas").replace(", 2 soltura antes da pressao", "")
                + "\n")
    check(run.returncode == 0 and run.stdout == in_order,
          f"odd rows in order: status {run.returncode}, got\n{run.stdout}expected\n{in_order}")


def central_board(command, db, env):
    """On a central server's table, one board's day is read through the
    index on board and instant, not from every row the board ever sent."""
    with open(os.path.join(ROOT, "sql", "central.sql")) as f:
        central = f.read()
    load_schema(db, "DROP TABLE embarcados.estado;\n" + central)
    # porta-a: days of rows before its 200 of day D; porta-b: 1,000 that day.
    times = {"porta-a": [DAY - timedelta(days=10, minutes=-5 * i) for i in range(2000)]
             + [DAY + timedelta(minutes=5 * i) for i in range(200)],
             "porta-b": [DAY + timedelta(minutes=i) for i in range(1000)]}
    values = ", ".join(f"({i + 1}, 5, '{'OFF' if i % 2 else 'ON'} ', '{t.ctime()}\n', 0, NOW(), '{b}')"
                       for b, ts in times.items() for i, t in enumerate(ts))
    sql(db, "INSERT INTO embarcados.estado (id, TECLA, ESTADO, DATA, ms, gravado_em, placa)"
            f" VALUES {values}")
    sql(db, "ANALYZE TABLE embarcados.estado")

    def reads():
        return sum(int(v) for _, v in sql(db, "SHOW GLOBAL STATUS WHERE Variable_name IN"
                                              " ('Handler_read_next', 'Handler_read_rnd_next')"))
    before = reads()
    run = subprocess.run(command + ["--tsv", "--placa", "porta-a", "--desde", D, "--ate", D],
                         env=env, capture_output=True, text=True, timeout=60)
    read = reads() - before
    check(run.returncode == 0 and run.stdout.splitlines()[6].split("\t")[1] == "100",
          f"central, --placa porta-a: status {run.returncode}, {run.stdout!r}{run.stderr!r}")
    check(read < 400, f"central, --placa porta-a, one day: the server read {read} rows")
    load_schema(db, "DROP TABLE embarcados.estado;")


def picture_counts(svg):
    """The bars' counts added up, the footer, the line after it."""
    with open(svg) as f:
        picture = f.read()
    bars = sum(map(int, re.findall(r'font-size="11" text-anchor="middle">(\d+)</text>', picture)))
    footer = re.findall(r'<text x="25" y="\d+" font-size="11">([^<]*)</text>', picture)
    return (bars, *footer[:2])


# ---- Output paths: a failed run leaves what was at --svg's path ----

def output_paths(command, env, work):
    down = ["--socket", os.path.join(work, "nada.sock")]
    old, target, link, fifo, new = (os.path.join(work, n) for n in (
        "antigo.svg", "alvo.svg", "atalho.svg", "fila", "novo.svg"))
    for path, text in ((old, "antigo"), (target, "alvo")):
        with open(path, "w") as f:
            f.write(text)
    os.chmod(old, 0o640)
    os.symlink(target, link)
    os.mkfifo(fifo)

    def run(args, **options):
        try:
            return subprocess.run(command + args, env=env, capture_output=True, text=True,
                                  timeout=30, **options)
        except subprocess.TimeoutExpired as e:  # a FIFO opened for writing blocks
            return subprocess.CompletedProcess(e.cmd, "timeout", "", "")

    def content(path):
        if not os.path.isfile(path):
            return None
        with open(path) as f:
            return f.read()

    for path in (old, link):
        out = run(down + ["--svg", path])
        check(out.returncode == 1 and content(path) in ("antigo", "alvo") and content(target) == "alvo",
              f"failed run over {path}: status {out.returncode}, left {content(path)!r}")
    out = run(down + ["--svg", fifo])
    check(out.returncode == 2 and "nao e um arquivo comum" in out.stderr
          and stat.S_ISFIFO(os.lstat(fifo).st_mode), f"--svg FIFO: {out.returncode} {out.stderr!r}")
    for path in (old, link):
        out = run(["--svg", path])
        check(out.returncode == 0 and (content(path) or "").startswith("<?xml"),
              f"--svg {path}: status {out.returncode}, {out.stderr!r}")
    check(os.path.islink(link) and stat.S_IMODE(os.stat(old).st_mode) == 0o640,
          "a successful run replaced the symlink or changed the old picture's mode")
    # Standard output closed: the table must not land in the picture.
    out = run(["--svg", new], preexec_fn=lambda: os.close(1))
    check(out.returncode == 1 and "falha ao escrever o relatorio" in out.stderr
          and not os.path.exists(new), f"stdout closed: status {out.returncode}, "
          f"{out.stderr!r}, picture {'left' if os.path.exists(new) else 'not written'}")
    left = [n for n in os.listdir(work) if re.search(r"\.svg\.\w{6}$", n)]
    check(not left, f"new files left behind: {left}")


def main():
    command = sys.argv[1:]
    db = os.environ["MYSQL_UNIX_PORT"]
    work = tempfile.mkdtemp(prefix="relatorio-", dir=os.environ.get("TECLADO_TEST_WORK"))
    # A home of its own: no ~/.my.cnf of the user's in the way.
    base = dict(os.environ, HOME=work, MYSQL_PWD=PASSWORD)
    no_pwd = {k: v for k, v in base.items() if k != "MYSQL_PWD"}
    with open(os.path.join(work, ".my.cnf"), "w") as f:
        # The socket named here loses to MYSQL_UNIX_PORT, as Debian's own
        # /etc/mysql files name the system server's.
        f.write(f"[client]\npassword={PASSWORD}\nsocket={work}/elsewhere.sock\n")
    os.chmod(os.path.join(work, ".my.cnf"), 0o600)

    sql(db, "TRUNCATE TABLE embarcados.estado")
    values = ", ".join(f"('{k}', '{e} ', '{t.ctime()}\n', '{t.microsecond // 1000}')"
                       for k, e, t in EVENTS)
    sql(db, f"INSERT INTO embarcados.estado(TECLA, ESTADO, DATA, ms) values {values}")

    # The view, twice: loading the schema again must keep rows and view.
    load_schema(db)
    got = sql(db, "SELECT TECLA, evento, instante FROM embarcados.estado_eventos ORDER BY id")
    want = [[str(k), e, t.strftime("%Y-%m-%d %H:%M:%S.%f")[:23]] for k, e, t in EVENTS]
    check(got == want, f"estado_eventos {got}, expected {want}")

    svg = os.path.join(work, "teclado.svg")
    missing = os.path.join(work, "nenhum", "x.svg")
    silent = os.path.join(work, "mudo.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(silent)
    listener.listen(1)  # never accepts: a server that does not answer
    # (arguments, environment, status, stdout wanted or None, stderr part)
    cases = [
        (["--tsv"], base, 0, tsv(WHOLE), ""),
        (["--tsv", "--desde", D, "--ate", D], base, 0, tsv(DAY_D), ""),
        (["--tsv", "--desde=" + D1], no_pwd, 0, tsv(FROM_D1), ""),  # password from ~/.my.cnf
        (["--tsv", "--ate", D_1], base, 0, tsv(UP_TO_D_1), ""),
        (["--desde", D, "--ate", D, "--svg", svg], base, 0, None, ""),
        ([], base, 0, None, ""),
        (["--desde", "2026-02-30"], base, 2, "", "data invalida para --desde: 2026-02-30"),
        (["--ate", "10/03/2026"], base, 2, "", "data invalida para --ate: 10/03/2026"),
        (["--desde", D1, "--ate", D], base, 2, "", "--desde depois de --ate"),
        (["--bogus"], base, 2, "", "opcao desconhecida: --bogus"),
        (["--tsv", "extra"], base, 2, "", "argumento inesperado: extra"),
        (["--port", "0"], base, 2, "", "porta invalida: 0"),
        (["--desde"], base, 2, "", "falta o valor de --desde"),
        (["--svg", missing], base, 2, "", "nao foi possivel criar " + missing),
        (["--svg", ""], base, 2, "", "valor vazio para a opcao --svg"),
        (["--placa", ""], base, 2, "", "valor vazio para a opcao --placa"),
        (["--placa", "porta-z", "--tsv"], base, 2, "", "nenhuma linha da placa porta-z no registro"),
        (["--tsv=1"], base, 2, "", "--tsv nao leva valor: --tsv=1"),
        (["--help", "extra"], base, 2, "", "argumento inesperado: extra"),
        (["--ate", D + "\nteclado-relatorio: ok"], base, 2, "",  # no forged second line
         "data invalida para --ate: " + D + "\\nteclado-relatorio: ok"),
        (["--version"], base, 0, f"teclado-relatorio {VERSION}\n", ""),
        (["--socket", os.path.join(work, "nada.sock")], base, 1, "",
         "sem conexao com o banco: Can't connect to local server through socket"),
        (["--socket", silent], base, 1, "", "sem conexao com o banco: Lost connection"),
        (["--user", "ninguem"], base, 1, "", "Access denied for user 'ninguem'"),
        ([], dict(no_pwd, HOME="/nonexistent"), 1, "", "Access denied for user 'root'"),
    ]
    for args, env, status, out, err in cases:
        started = time.monotonic()
        run = subprocess.run(command + args, env=env, capture_output=True, text=True, timeout=60)
        took = time.monotonic() - started
        name = " ".join(args) or "(no arguments)"
        check(run.returncode == status, f"{name}: status {run.returncode}, expected {status}; "
                                        f"stderr {run.stderr!r}")
        if out is not None:
            check(run.stdout == out, f"{name}: stdout\n{run.stdout}expected\n{out}")
        if err:
            check(run.stderr.startswith("teclado-relatorio: ") and err in run.stderr
                  and run.stderr.count("\n") == 1, f"{name}: stderr {run.stderr!r}, wanted {err!r}")
        else:
            check(run.stderr == "", f"{name}: stderr {run.stderr!r}")
        check(took < 10, f"{name}: took {took:.1f} s")
        if status != 0 and "--svg" in args:
            check(not os.path.exists(args[args.index("--svg") + 1]), f"{name}: file left behind")
        if args == [] and status == 0:
            lines = run.stdout.splitlines()
            codes = [line.split()[0] for line in lines[2:18]]
            check(codes == [str(k) for k in KEYS], f"text lines in order {codes}")
            # 2947 ms over 14 pairs: 210.5 rounds to 211.
            total = f"TOTAL {14:>9} {211:>9} {850:>7}  {when(1, '09:00:00.000'):<23} {3:>8}"
            check(lines[18] == total, f"totals {lines[18]!r}, expected {total!r}")

    listener.close()
    # The --svg case's status is checked above; a picture never written is
    # said so here, not by a traceback.
    if check(os.path.isfile(svg), f"--svg run wrote no {svg}"):
        check_picture(svg)
    odd_rows(command, db, base, work)
    output_paths(command, base, work)
    central_board(command, db, base)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
