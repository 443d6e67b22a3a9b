#!/usr/bin/env python3
"""Times teclado-relatorio over logs of growing size on the tests' private
MariaDB (MYSQL_UNIX_PORT): the whole log and one day at each size, and at
a million rows the whole log with --svg (which reads the log twice) and
with one press and its release stamped an hour back, as a board's clock
set back after a power cut stamps them (the server pairs that key). Prints
one table as "figure: " lines, each size's median and longest time, how the
cost grows from one size to the next, and the targets met or MISSED.

Run by CTest as test bench_relatorio (stage bench of scripts/test.sh).
Options come from the command line and then from TECLADO_BENCH_OPTIONS,
which the other benchmarks read too.

usage: relatorio_bench.py [--full] [--native] [--strict] path/to/teclado-relatorio
  --full    also ten million rows, and more runs at each size
  --native  nothing to leave out here: taken for the other benchmarks
  --strict  exit 3 when a target is missed

Exit status: 0 when every run gave the figures the log holds (targets met
or not), 1 when a run failed or reported other figures, 3 with --strict
when a target was missed.
"""
import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

from teclado_run import KEYS, PASSWORD, sql

SIZES = dict(full=(100_000, 1_000_000, 10_000_000), quick=(100_000, 1_000_000))
RUNS = dict(full=5, quick=3)
DAY = "2026-01-01"  # the log's first day: 345,600 events once full
PRESSED_MS = 250  # each event 250 ms after the one before, keys in turn
DAY_PRESSES = 24 * 3600 * 1000 // PRESSED_MS // 2
# (size, figure, seconds at most)
TARGETS = {(1_000_000, "whole log"): 1.0, (10_000_000, "one day"): 0.5}


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
    checked to count presses pairs."""
    times = []
    for _ in range(runs):
        started = time.monotonic()
        out = subprocess.run(command + ["--tsv", "--user", "root"] + args, env=env,
                             capture_output=True, text=True, timeout=600)
        times.append(time.monotonic() - started)
        counted = sum(int(line.split("\t")[1]) for line in out.stdout.splitlines()[1:17])
        if out.returncode != 0 or counted != presses:
            raise BenchError(f"teclado-relatorio {' '.join(args)}: status {out.returncode}, "
                             f"{counted} presses of {presses}: {out.stderr.strip()}")
    return times


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
        except (BenchError, RuntimeError, subprocess.SubprocessError, OSError) as e:
            print(f"relatorio_bench: {e}", file=sys.stderr)
            return 1
    lines, missed = table(results, RUNS[mode])
    # CTest keeps a passing test's output in its log: scripts/test.sh shows
    # the "figure: " lines from there.
    for line in lines:
        print("figure: " + line)
    return 3 if missed and args.strict else 0


if __name__ == "__main__":
    sys.exit(main())
