#!/usr/bin/env python3
"""What one central server costs per board: N boards, each a private
MariaDB as small as it runs, with its binary log, written to at a busy
board's rate (20,000 events a day) and then in a burst; one central server
replicating all of them over verified TLS, as docs/central.md sets it up.
For each N: the lag of a row (median, p99), the central's processor time
per 1,000 rows, its memory per link, the time all boards take to catch up
after the central was down, and the time to add one more board's link.

usage: central_bench.py [--full] [--sizes 2,10,50] [--outage S]
Quick run: N = 2 and 6, a 10 s outage. --full: N = 2, 10, 50, 60 s.
"""
import argparse
import concurrent.futures
import os
import random
import shutil
import signal
import subprocess
import statistics
import sys
import tempfile
import threading
import time

import pymysql

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "drivers"))
from central import (BOARD_OPTIONS, CENTRAL_SERVER, arrival, board_filters,  # noqa: E402
                     certificates, change_master, free_port, replication_account)
from teclado_run import (PASSWORD, ROOT, bring_back_server, client_file, cpu_ns,  # noqa: E402
                         server_pid, shut_down_server, start_server, stop_server)

DAY_RATE = 20000 / 86400  # a busy board's events a second
BURST = 200  # events each board logs at once, in a burst
# As small as MariaDB runs: the start script's 32 MB buffer pool, one
# connection or so, no caches to speak of.
SMALL = """innodb_log_file_size = 8M
innodb_log_buffer_size = 1M
key_buffer_size = 64K
aria_pagecache_buffer_size = 1M
query_cache_size = 0
max_connections = 8
thread_cache_size = 1
table_open_cache = 64
performance_schema = OFF
"""

INSERT = ("INSERT INTO embarcados.estado(TECLA, ESTADO, DATA, ms) "
          "VALUES (%s, 'ON ', 'Thu Dec 10 15:40:56 2026\\n', %s)")



def connect(socket):
    return pymysql.connect(unix_socket=socket, user="root", password=PASSWORD, autocommit=True)


def query(db, statement):
    with db.cursor() as c:
        c.execute(statement)
        return c.fetchall()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


class Site:
    """N boards and a central server in work; rows written are remembered
    with their moment, and a watcher at the central notes when each
    board's highest id arrived."""

    def __init__(self, work, n, certs, password):
        self.work, self.certs, self.password = work, certs, password
        self.names = [f"placa-{i}" for i in range(1, n + 1)]
        self.ports = {name: free_port() for name in self.names}
        self.written = {name: {} for name in self.names}  # id -> monotonic time
        self.seen = {name: 0 for name in self.names}
        self.lags = []
        self.lock = threading.Lock()
        self.stopped, self.measuring = threading.Event(), True

        def board(i, name):
            socket = start_server(os.path.join(work, name), options=BOARD_OPTIONS.format(
                n=i, name=name, certs=certs, port=self.ports[name]) + SMALL)
            db = connect(socket)
            for statement in replication_account(password).splitlines():
                query(db, statement)
            query(db, f"ALTER TABLE embarcados.estado ALTER placa SET DEFAULT '{name}'")
            query(db, "SET sql_log_bin = 1")
            return socket, db
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            made = list(pool.map(board, range(1, n + 1), self.names))
        self.sockets = {name: m[0] for name, m in zip(self.names, made)}
        self.boards = {name: m[1] for name, m in zip(self.names, made)}
        self.central_folder = os.path.join(work, "central")
        # Each link's filters in the option file too, as docs/central.md has
        # them: a restart keeps them.
        self.central = start_server(self.central_folder, options=CENTRAL_SERVER + f"max_connections = {n + 20}\n"
            + "".join(board_filters(b) for b in self.names))
        db = self.central_db = connect(self.central)
        query(db, "DROP TABLE embarcados.estado")
        for f in ("central.sql", "estado.sql"):
            run_file(self.central, os.path.join(ROOT, "sql", f))
        self.rss_before = rss_kib(server_pid(self.central_folder))

    def add_link(self, name):
        """The board's arrival database and its link, started (its filters
        are in the option file)."""
        db, a = self.central_db, arrival(name)
        run_file(self.central, os.path.join(ROOT, "sql", "chegada.sql"),
                 f"CREATE DATABASE IF NOT EXISTS {a}; USE {a};")
        query(db, change_master(name, self.ports[name], self.password, f"{self.certs}/ca.pem"))
        query(db, f"START SLAVE '{name}'")

    def write(self, name, count=1):
        db = self.boards[name]
        for _ in range(count):
            with db.cursor() as c:
                c.execute(INSERT, (random.randint(1, 16), random.randint(0, 999)))
                row = c.lastrowid
            with self.lock:
                self.written[name][row] = time.monotonic()

    def watch(self):
        """The highest id of each board at the central server, every 20 ms:
        each row written is there from the first poll that shows it."""
        db = connect(self.central)
        while not self.stopped.is_set():
            try:
                got = query(db, "SELECT placa, MAX(id) FROM embarcados.estado GROUP BY placa")
            except pymysql.MySQLError:  # the central server down
                time.sleep(0.2)
                try:
                    db = connect(self.central)
                except pymysql.MySQLError:
                    pass
                continue
            now = time.monotonic()
            with self.lock:
                for name, top in got:
                    if name in self.seen and top > self.seen[name]:
                        for i in range(self.seen[name] + 1, top + 1):
                            if i in self.written[name] and self.measuring:
                                self.lags.append(now - self.written[name][i])
                        self.seen[name] = top
            time.sleep(0.02)

    def start_watching(self):
        self.watcher = threading.Thread(target=self.watch, daemon=True)
        self.watcher.start()

    def until_caught_up(self, seconds=600):
        """Seconds until the central server shows every row written so far."""
        started = time.monotonic()
        with self.lock:
            wanted = {name: max(rows, default=0) for name, rows in self.written.items()}
        while any(self.seen[n] < wanted[n] for n in wanted):
            if time.monotonic() - started > seconds:
                raise RuntimeError(f"the central server did not catch up within {seconds} s")
            time.sleep(0.02)
        return time.monotonic() - started

    def steady(self, seconds, rate):
        """Each board writes at rate events a second, at random moments."""
        end = time.monotonic() + seconds
        total = rate * len(self.names)
        while time.monotonic() < end:
            self.write(random.choice(self.names))
            time.sleep(random.expovariate(total))

    def stop(self):
        self.stopped.set()
        for name in ["central"] + self.names:
            stop_server(os.path.join(self.work, name))


def run_file(socket, path, first=""):
    with open(path) as f:
        text = first + "\n" + f.read()
    subprocess.run(["mariadb", client_file(), "--socket=" + socket], input=text, text=True,
                   check=True, capture_output=True, timeout=120)


def measure(work, n, outage, steady_seconds, certs, password):
    os.makedirs(work)
    site = Site(work, n, certs, password)
    result = {"n": n}
    try:
        last = site.names[-1]
        for name in site.names[:-1]:
            site.add_link(name)
        site.start_watching()
        # The last board's link added while the others run: from its
        # arrival database to its first rows at the centre.
        site.write(last, 5)
        started = time.monotonic()
        site.add_link(last)
        site.until_caught_up()
        result["add"] = time.monotonic() - started
        central_pid = server_pid(site.central_folder)
        site.lags.clear()
        cpu, started = cpu_ns(central_pid), time.monotonic()
        site.steady(steady_seconds, DAY_RATE)
        result["idle"] = (cpu_ns(central_pid) - cpu) / 1e6 / (time.monotonic() - started)
        # A burst: every board at once, BURST events each.
        cpu, rows, started = (cpu_ns(central_pid), sum(map(len, site.written.values())),
                              time.monotonic())
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda name: site.write(name, BURST), site.names))
        site.until_caught_up()
        result["burst"] = time.monotonic() - started
        # After the burst: each link's threads and the relay log it filled.
        result["rss_link"] = (rss_kib(central_pid) - site.rss_before) / n / 1024
        result["cpu"] = ((cpu_ns(central_pid) - cpu) / 1e6
                         / max(sum(map(len, site.written.values())) - rows, 1) * 1000)
        lags = sorted(site.lags)
        result["lag50"] = statistics.median(lags) * 1000
        result["lag99"] = lags[min(len(lags) - 1, int(len(lags) * 0.99))] * 1000
        result["rows"] = len(lags)
        # The central server down while every board goes on logging.
        site.measuring = False
        argv = shut_down_server(site.central_folder, signal.SIGTERM)
        site.steady(outage, DAY_RATE * 10)
        started = time.monotonic()
        bring_back_server(site.central_folder, argv, site.central)
        site.central_db = connect(site.central)
        site.until_caught_up()
        result["catch_up"] = time.monotonic() - started
        result["board_rss"] = statistics.median(
            rss_kib(server_pid(os.path.join(work, name))) for name in site.names) / 1024
    finally:
        site.stop()
        shutil.rmtree(work, ignore_errors=True)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--sizes")
    parser.add_argument("--outage", type=float)
    args = parser.parse_args()
    sizes = [int(x) for x in (args.sizes or ("2,10,50" if args.full else "2,6")).split(",")]
    outage = args.outage or (60 if args.full else 10)
    steady_seconds = 60 if args.full else 15
    base = os.environ.get("TECLADO_TEST_WORK", os.getcwd())
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix="central-bench.", dir=base)
    certs = os.path.join(work, "certs")
    certificates(certs, [f"placa-{i}" for i in range(1, max(sizes) + 1)])
    password = os.urandom(12).hex()
    results = []
    try:
        for n in sizes:
            results.append(measure(os.path.join(work, f"n{n}"), n, outage, steady_seconds,
                                   certs, password))
            r = results[-1]
            print(f"figure: central bench: N = {n}: lag median {r['lag50']:.0f} ms, p99 "
                  f"{r['lag99']:.0f} ms ({r['rows']} rows); central CPU {r['idle']:.1f} ms a second "
                  f"at the daily rate, {r['cpu']:.0f} ms per 1,000 rows in the burst; {r['rss_link']:.2f} MiB per link; burst of {BURST} a board "
                  f"there in {r['burst']:.2f} s; all caught up {r['catch_up']:.2f} s after a "
                  f"{outage:.0f} s outage; a link added in {r['add']:.2f} s; a board's server "
                  f"{r['board_rss']:.0f} MiB", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\n N | lag p50 ms | lag p99 ms | CPU ms/s | CPU ms/1000 rows | MiB/link | burst s"
          " | catch-up s | add link s")
    for r in results:
        print(f"{r['n']:>2} | {r['lag50']:10.0f} | {r['lag99']:10.0f} | {r['idle']:8.1f} | "
              f"{r['cpu']:16.0f} | "
              f"{r['rss_link']:8.2f} | {r['burst']:7.2f} | {r['catch_up']:10.2f} | {r['add']:10.2f}")
    first = results[0]
    for r in results[1:]:
        print(f"figure: central bench: N = {first['n']} -> {r['n']}: lag p99 x"
              f"{r['lag99'] / max(first['lag99'], 1):.1f}, CPU per row x"
              f"{r['cpu'] / max(first['cpu'], 1):.1f}, catch-up x"
              f"{r['catch_up'] / max(first['catch_up'], 0.01):.1f}")
    print(f"figure: central bench: load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
