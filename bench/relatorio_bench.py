#!/usr/bin/env python3
"""Times teclado-relatorio over logs of growing size on the tests' private
MariaDB (MYSQL_UNIX_PORT): the whole log and one day at each size, and at
a million rows the whole log with --svg and with one press and its
release stamped an hour back, as a board's clock set back after a power
cut stamps them (the report reads that key again). Then a central
server's table (sql/central.sql) holding a million rows of one day (ten
million with --full) from one board, then from 1,000: the whole day,
one board's day (--placa) and the report's peak memory. Prints one table
as "figure: " lines, each size's median and longest time, how the cost
grows from one size to the next, the ratios measured in the same run,
and the targets met or MISSED.

Run by CTest as test bench_relatorio (stage bench of scripts/test.sh).
Options come from the command line and then from TECLADO_BENCH_OPTIONS,
which the other benchmarks read too.

usage: relatorio_bench.py [--full] [--native] [--strict] path/to/teclado-relatorio
  --full    also ten million rows, a central of ten million, and more runs
  --native  nothing to leave out here: taken for the other benchmarks
  --strict  exit 3 when a target is missed

Exit status: 0 when every run gave the figures the log holds (targets met
or not), 1 when a run failed or reported other figures, 3 with --strict
when a target was missed.
"""
import argparse
import os
import shlex
import re
import statistics
import subprocess
import sys
import tempfile
import time

from teclado_run import KEYS, PASSWORD, ROOT, load_schema, sql

SIZES = dict(full=(100_000, 1_000_000, 10_000_000), quick=(100_000, 1_000_000))
RUNS = dict(full=5, quick=3)
DAY = "2026-01-01"  # the log's first day: 345,600 events once full
PRESSED_MS = 250  # each event 250 ms after the one before, keys in turn
DAY_PRESSES = 24 * 3600 * 1000 // PRESSED_MS // 2
# (size, figure, seconds at most)
TARGETS = {(1_000_000, "whole log"): 0.45, (10_000_000, "one day"): 0.15,
           (10_000_000, "1,000 boards, day"): 5.0, (10_000_000, "central, --placa"): 0.05}
# (figure, over figure, at the same size): the ratio of their medians at most
RATIOS = [("whole log, --svg", "whole log", 1.1), ("whole, clock back", "whole log", 1.2),
          ("1,000 boards, day", "one board, day", 1.2)]
CENTRAL = dict(full=10_000_000, quick=1_000_000)
POOL_BYTES_PER_ROW = 64  # a central's buffer pool per row of a day, docs/central.md
BOARDS = 1000


class BenchError(Exception):
    """A run that failed, or whose report is not the log's."""


def grow(socket, written, rows):
    """Adds rows to estado up to rows, written by the server itself in
    teclado's own form of the values: the 16 keys in turn, each held for
    PRESSED_MS, from DAY on."""
    sql(socket,
        "INSERT INTO embarcados.estado (TECLA, ESTADO, DATA, ms)"
        " SELECT ELT(1 + ((seq - 1) DIV 2) MOD 16, " + ", ".join(map(str, KEYS)) + "),"
        " IF(seq MOD 2, 'ON ', 'OFF '),"
        " CONCAT(DATE_FORMAT(t, '%a %b '), LPAD(DAY(t), 2, ' '),"
        " DATE_FORMAT(t, ' %H:%i:%s %Y'), '\\n'), MICROSECOND(t) DIV 1000"
        f" FROM (SELECT seq, TIMESTAMP'{DAY} 00:00:00' + INTERVAL seq * {PRESSED_MS * 1000}"
        f" MICROSECOND AS t FROM embarcados.seq_{written + 1}_to_{rows}) s", timeout=1800)


def fill_central(socket, rows, boards):
    """rows over the day DAY, board after board in turn (placa-0000 on),
    each numbering its ids from 1 and pressing its keys in turn, as a
    central server holds them."""
    step = 86_400_000_000 // rows
    j = f"((seq - 1) DIV {boards})"
    sql(socket,
        "INSERT INTO embarcados.estado (id, TECLA, ESTADO, DATA, ms, gravado_em, placa)"
        f" SELECT {j} + 1, ELT(1 + ({j} DIV 2) MOD 16, " + ", ".join(map(str, KEYS)) + "),"
        f" IF({j} MOD 2, 'OFF ', 'ON '),"
        " CONCAT(DATE_FORMAT(t, '%a %b '), LPAD(DAY(t), 2, ' '),"
        " DATE_FORMAT(t, ' %H:%i:%s %Y'), '\\n'), MICROSECOND(t) DIV 1000, t,"
        f" CONCAT('placa-', LPAD((seq - 1) MOD {boards}, 4, '0'))"
        f" FROM (SELECT seq, TIMESTAMP'{DAY} 00:00:00' + INTERVAL (seq - 1) * {step}"
        f" MICROSECOND AS t FROM embarcados.seq_1_to_{rows}) s", timeout=3600)


def peak_memory(command, args, env):
    """The report's peak resident memory in KiB, by /usr/bin/time -v."""
    out = subprocess.run(["/usr/bin/time", "-v"] + command + ["--tsv", "--user", "root"] + args,
                         env=env, capture_output=True, text=True, timeout=600)
    found = re.search(r"Maximum resident set size \(kbytes\): (\d+)", out.stderr)
    if out.returncode != 0 or not found:
        raise BenchError(f"/usr/bin/time teclado-relatorio {' '.join(args)}: {out.stderr.strip()}")
    return int(found[1])


def central(command, socket, rows, runs, work):
    """{figure: times} on a central table of rows over one day, from one
    board and then from BOARDS, and the peak memory of the latter's day."""
    env = dict(os.environ, MYSQL_UNIX_PORT=socket, MYSQL_PWD=PASSWORD, HOME=work)
    with open(os.path.join(ROOT, "sql", "central.sql")) as f:
        central_sql = f.read()
    day = ["--desde", DAY, "--ate", DAY]
    results = {}
    # Room for the day as docs/central.md sizes a central: the tests'
    # server is kept small, and with too small a pool each report reads
    # the day's index from disk again, which times the disk, not the report.
    pool = int(sql(socket, "SELECT @@innodb_buffer_pool_size")[0][0])
    try:
        sql(socket, f"SET GLOBAL innodb_buffer_pool_size = {max(pool, rows * POOL_BYTES_PER_ROW)}")
        for boards in (1, BOARDS):
            load_schema(socket, "DROP DATABASE IF EXISTS embarcados;\n" + central_sql)
            # Filled faster without the index on board and instant, which
            # estado.sql, loaded again, then builds once.
            sql(socket, "ALTER TABLE embarcados.estado DROP INDEX placa_instante")
            fill_central(socket, rows, boards)
            load_schema(socket, central_sql)
            if boards == 1:
                results["one board, day"] = timed(command, day, env, runs, rows // 2)
                continue
            results["1,000 boards, day"] = timed(command, day, env, runs, rows // 2)
            results["central, --placa"] = timed(command, day + ["--placa", "placa-0001"], env, runs,
                                                rows // boards // 2)
            memory = peak_memory(command, day, env)
    finally:
        load_schema(socket, "DROP DATABASE IF EXISTS embarcados;")
        sql(socket, f"SET GLOBAL innodb_buffer_pool_size = {pool}")
    return results, memory


def set_back(socket, first_id, hours):
    """Stamps the rows first_id and the one after hours earlier, their
    ctime text rewritten in teclado's form."""
    t = f"(instante - INTERVAL {hours} HOUR)"
    sql(socket,
        f"UPDATE embarcados.estado SET DATA = CONCAT(DATE_FORMAT({t}, '%a %b '),"
        f" LPAD(DAY({t}), 2, ' '), DATE_FORMAT({t}, ' %H:%i:%s %Y'), '\\n')"
        f" WHERE id IN ({first_id}, {first_id + 1})")


def timed(command, args, env, runs, presses):
    """Wall times in seconds of runs runs of the report with args, each
    checked to count presses pairs. One run more goes first, untimed: right
    after rows are written the server is still flushing them, and the
    first figure of each log paid for that (1.12 s for a whole log of a
    million rows, then 0.65 s for the same with --svg)."""
    times = []
    for _ in range(runs + 1):
        started = time.monotonic()
        out = subprocess.run(command + ["--tsv", "--user", "root"] + args, env=env,
                             capture_output=True, text=True, timeout=600)
        times.append(time.monotonic() - started)
        counted = sum(int(line.split("\t")[1]) for line in out.stdout.splitlines()[1:17])
        if out.returncode != 0 or counted != presses:
            raise BenchError(f"teclado-relatorio {' '.join(args)}: status {out.returncode}, "
                             f"{counted} presses of {presses}: {out.stderr.strip()}")
    return times[1:]


def measure(command, socket, sizes, runs, work):
    """{size: {figure: times}} over logs of each size in sizes."""
    env = dict(os.environ, MYSQL_UNIX_PORT=socket, MYSQL_PWD=PASSWORD, HOME=work)
    sql(socket, "TRUNCATE TABLE embarcados.estado")
    results, written = {}, 0
    try:
        for rows in sizes:
            grow(socket, written, rows)
            written = rows
            cases = {"whole log": ([], rows // 2),
                     "one day": (["--desde", DAY, "--ate", DAY], min(rows // 2, DAY_PRESSES))}
            if rows == 1_000_000:
                cases["whole log, --svg"] = (["--svg", os.path.join(work, "relatorio.svg")],
                                             rows // 2)
            results[rows] = {figure: timed(command, args, env, runs, presses)
                             for figure, (args, presses) in cases.items()}
            if rows == 1_000_000:
                # A press in the middle of the log (its id odd) and its
                # release, then back as they were for the sizes after.
                set_back(socket, rows // 2 + 1, 1)
                results[rows]["whole, clock back"] = timed(command, [], env, runs, rows // 2)
                set_back(socket, rows // 2 + 1, -1)
    finally:
        sql(socket, "TRUNCATE TABLE embarcados.estado")
    return results


def table(results, runs):
    """The lines to print, and how many targets were missed."""
    lines = [f"teclado-relatorio --tsv over a log of n rows ({runs} runs each: median / longest;"
             f" growth: median against the size before)"]
    missed, before = 0, None
    for rows, figures in results.items():
        for figure, times in figures.items():
            median = statistics.median(times)
            text = f"{rows:>12,} rows, {figure:<17} {median:6.2f} / {max(times):6.2f} s"
            if before and figure in results[before]:
                growth = median / statistics.median(results[before][figure])
                text += f"   x{growth:<6.1f}"
            else:
                text += " " * 10
            limit = TARGETS.get((rows, figure))
            if limit is not None:
                met = median <= limit
                missed += not met
                text += f"  target <= {limit} s: {'met' if met else 'MISSED'}"
            lines.append(text)
        before = rows
    for figure, over, limit in RATIOS:
        for rows, figures in results.items():
            if figure in figures and over in figures:
                ratio = statistics.median(figures[figure]) / statistics.median(figures[over])
                met = ratio <= limit
                missed += not met
                lines.append(f"{rows:>12,} rows, {figure} / {over}: x{ratio:.2f}"
                             f"  target <= x{limit}: {'met' if met else 'MISSED'}")
    return lines, missed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--native", action="store_true")
    parser.add_argument("--strict", action="store_true")
    parser.add_argument("command", nargs="+")
    options = shlex.split(os.environ.get("TECLADO_BENCH_OPTIONS", ""))
    args = parser.parse_args(sys.argv[1:] + options)
    mode = "full" if args.full else "quick"
    socket = os.environ["MYSQL_UNIX_PORT"]
    with tempfile.TemporaryDirectory(prefix="relatorio-bench-") as work:
        try:
            results = measure(args.command, socket, SIZES[mode], RUNS[mode], work)
            rows = CENTRAL[mode]
            at_centre, memory = central(args.command, socket, rows, RUNS[mode], work)
        except (BenchError, RuntimeError, subprocess.SubprocessError, OSError) as e:
            print(f"relatorio_bench: {e}", file=sys.stderr)
            return 1
    # The central's figures beside the log's of the same size.
    results[rows].update(at_centre)
    lines, missed = table(results, RUNS[mode])
    lines.append(f"central of {rows:,} rows from {BOARDS:,} boards, one day: peak memory"
                 f" {memory / 1024:.0f} MiB (/usr/bin/time -v)")
    # CTest keeps a passing test's output in its log: scripts/test.sh shows
    # the "figure: " lines from there.
    for line in lines:
        print("figure: " + line)
    return 3 if missed and args.strict else 0


if __name__ == "__main__":
    sys.exit(main())
