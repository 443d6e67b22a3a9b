"""The edge stage's host side (scripts/test-edge.sh): starts Debian's arm64
kernel under qemu-system-aarch64 -M virt with teclado in the guest on the
board's PL061 GPIO block, and plays the keypad from here over QEMU's qtest
socket. A closed key joins its row to its column, so whenever a row's
output changes, each held key's column input is set to the row's level
(several held keys of one column: high if any of their rows is). QEMU
starts paused; the PL061 is found by QMP's qom-list, its outputs are
intercepted, then the guest runs.

It reads teclado's console lines on the guest's serial console as they
come, prints one "PASS name: ..." or "FAIL name: ..." line per check and
"figure: ..." lines, and exits 1 if any check failed.

usage: edge.py LOG -- QEMU_COMMAND...
  LOG gets the guest's console; the keypad and the console's texts come
  from mapa_do_teclado and textos (the build's python/ folder on
  PYTHONPATH). The PL061's lines 0-7 are the
  keypad's wires in their order: the four columns, then the four rows.
"""

import json
import os
import re
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import mapa_do_teclado as mapa
import textos

# Real-time priorities (SCHED_FIFO): this harness and QEMU's main thread,
# which together make a column follow its row, above the guest's CPU.
FOLLOWING = 20
GUEST = 10
# teclado samples the columns 1 ms after it selects a row: a column set
# later than this after its row's change may have been read stale.
LATE = 0.0009

COLUMN_LINES = (0, 1, 2, 3)
ROW_LINES = (4, 5, 6, 7)
ON = textos.FORMATO_DE_ON.split()[0]
OFF = textos.FORMATO_DE_OFF.split()[0]


def event(code, state):
    """An event as events() gives it: 'Botao 1 ON'."""
    return (textos.FORMATO_DO_BOTAO % code) + state


def seen(guest, code, state, start):
    return guest.line_seen(re.escape(event(code, state) + " "), start)


class Guest:
    def __init__(self, qemu, log):
        self.dir = tempfile.mkdtemp(prefix="teclado-edge.")
        listeners = {}
        for name in ("qtest", "qmp"):
            s = socket.socket(socket.AF_UNIX)
            s.bind(os.path.join(self.dir, name))
            s.listen(1)
            listeners[name] = s
        self.log = open(log, "wb")
        self.qtest = self.qmp_sock = None
        self.qemu = subprocess.Popen(
            qemu + ["-S", "-qtest", "unix:" + os.path.join(self.dir, "qtest"),
                    "-qtest-log", "/dev/null", "-qmp", "unix:" + os.path.join(self.dir, "qmp"),
                    "-serial", "stdio"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.start(listeners)
        except BaseException:
            self.close()
            raise

    def start(self, listeners):
        try:
            for s in listeners.values():
                s.settimeout(30)
            self.qtest, _ = listeners["qtest"].accept()
            self.qmp_sock, _ = listeners["qmp"].accept()
        finally:
            for s in listeners.values():
                s.close()
        self.qmp = self.qmp_sock.makefile("rw")
        self.qmp.readline()  # greeting
        self.ask_qmp("qmp_capabilities")
        self.pl061 = self.find_pl061()
        # A column must follow its row within teclado's settle time, a
        # millisecond of the PC's own time: this process and QEMU's main
        # loop, which applies what it sends, go before this PC's other work
        # (the guest's CPU thread only once it has booted).
        self.realtime([0, self.qemu.pid], FOLLOWING)
        self.rows = {line: 0 for line in ROW_LINES}
        self.columns = {line: 0 for line in COLUMN_LINES}
        self.held = set()  # (row line, column line)
        self.pressed = {}  # (row line, column line) -> when it was last pressed
        # Per command sent and not yet answered, the time of the row change
        # it follows (None for a key pressed or let go): QEMU answers once
        # it has applied the command, so the answer tells how late the
        # column followed its row.
        self.waiting = []
        self.late = 0  # answers later than LATE after their row's change
        self.replays = 0
        self.follows = 0
        self.slowest = 0.0
        self.qtest_buf = b""
        self.serial_buf = b""
        self.lines = []  # (time received, text)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.qtest, selectors.EVENT_READ, self.on_qtest)
        self.sel.register(self.qemu.stdout, selectors.EVENT_READ, self.on_serial)
        self.send_qtest(f"irq_intercept_out {self.pl061}")
        self.pump(lambda: not self.waiting, 10)
        self.ask_qmp("cont")

    def realtime(self, threads, priority):
        try:
            for thread in threads:
                os.sched_setscheduler(thread, os.SCHED_FIFO, os.sched_param(priority))
        except PermissionError:
            print("edge.py: no real-time priority (not root?): a busy PC may then make "
                  "ghost or doubled keys", flush=True)

    def guest_cpu_realtime(self):
        """QEMU's other threads (the guest's CPU) too, once it has booted, below
        the two that make a column follow its row, which must be able to
        preempt it: the wake and tap figures then measure the guest, not how
        soon this PC runs QEMU."""
        threads = [int(t) for t in os.listdir(f"/proc/{self.qemu.pid}/task")]
        self.realtime([t for t in threads if t != self.qemu.pid], GUEST)

    def ask_qmp(self, command, **arguments):
        self.qmp.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.qmp.flush()
        while True:
            reply = json.loads(self.qmp.readline())
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RuntimeError(f"QMP {command}: {reply['error']}")

    def find_pl061(self):
        for parent in ("/machine/unattached", "/machine/peripheral-anon", "/machine"):
            for child in self.ask_qmp("qom-list", path=parent):
                if child["type"] == "child<pl061>":
                    return f"{parent}/{child['name']}"
        raise RuntimeError("no pl061 device in QEMU's object tree")

    def send_qtest(self, command, row_changed=None):
        self.waiting.append(row_changed)
        self.qtest.sendall(command.encode() + b"\n")

    def set_column(self, column, level, row_changed):
        if self.columns[column] != level:
            self.columns[column] = level
            self.send_qtest(f"set_irq_in {self.pl061} unnamed-gpio-in {column} {level}",
                            row_changed)

    def follow(self, row_changed=None):
        """Each column high while a held key joins it to a high row."""
        for column in COLUMN_LINES:
            self.set_column(column, int(any(self.rows[r] for r, c in self.held if c == column)),
                            row_changed)

    def on_qtest(self):
        data = self.qtest.recv(65536)
        if not data:
            raise RuntimeError("QEMU closed the qtest socket")
        now = time.monotonic()
        self.qtest_buf += data
        while b"\n" in self.qtest_buf:
            line, self.qtest_buf = self.qtest_buf.split(b"\n", 1)
            words = line.decode().split()
            if words[:1] == ["IRQ"]:
                line_number = int(words[2])
                if line_number in self.rows:
                    self.rows[line_number] = int(words[1] == "raise")
                    self.follow(now)
            elif words[:1] == ["OK"]:
                row_changed = self.waiting.pop(0)
                if row_changed is not None:
                    self.follows += 1
                    self.slowest = max(self.slowest, now - row_changed)
                    self.late += now - row_changed > LATE
            else:
                raise RuntimeError(f"qtest: {line.decode()}")

    def on_serial(self):
        data = os.read(self.qemu.stdout.fileno(), 65536)
        if not data:
            raise RuntimeError("QEMU ended")
        now = time.monotonic()
        self.log.write(data)
        self.log.flush()
        self.serial_buf += data
        while b"\n" in self.serial_buf:
            line, self.serial_buf = self.serial_buf.split(b"\n", 1)
            self.lines.append((now, line.decode(errors="replace").rstrip("\r")))

    def pump(self, done, seconds):
        """Serves QEMU until done() or for so many seconds; returns done()."""
        end = time.monotonic() + seconds
        while not done():
            left = end - time.monotonic()
            if left <= 0:
                return False
            for key, _ in self.sel.select(left):
                key.data()
        return True

    def wait(self, seconds):
        self.pump(lambda: False, seconds)

    def line_seen(self, pattern, start=0):
        return lambda: any(re.match(pattern, text) for _, text in self.lines[start:])

    def press(self, key):
        self.pressed[key] = time.monotonic()
        self.held.add(key)
        self.follow()

    def release(self, key):
        self.held.discard(key)
        self.follow()

    def events(self, start):
        """The console's events since line number start, as event() makes them."""
        prefix = textos.FORMATO_DO_BOTAO.split("%d")[0]
        return [" ".join(text.split()[:3]) for _, text in self.lines[start:]
                if text.startswith(prefix)]

    def close(self):
        self.qemu.kill()
        self.qemu.wait()
        for s in (self.qtest, self.qmp_sock):
            if s:
                s.close()
        for name in ("qtest", "qmp"):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)
        self.log.close()


KEYS = [(ROW_LINES[r], COLUMN_LINES[c], mapa.KEYS[4 * r + c]) for r in range(4) for c in range(4)]
failures = 0


def check(name, ok, text):
    global failures
    failures += not ok
    print(f"{'PASS' if ok else 'FAIL'} {name}: {text}", flush=True)


def checked(guest, name, attempt):
    """attempt() -> (ok, text). A failure while the harness answered late
    (a column set after teclado may have read it) is the harness's, not
    teclado's: the keys are let go and it is played once more."""
    late = guest.late
    ok, text = attempt()
    if not ok and guest.late > late:
        print(f"edge.py: {name}: a column followed its row late ({text}); played again",
              flush=True)
        guest.replays += 1
        guest.held.clear()
        guest.follow()
        guest.wait(0.1)
        ok, text = attempt()
    check(name, ok, text)


def relay(lines):
    """The guest's own PASS, FAIL and figure lines."""
    global failures
    for _, text in lines:
        if text.startswith(("PASS ", "FAIL ", "figure: ")):
            print(text, flush=True)
            failures += text.startswith("FAIL ")


def per_key(events):
    keys = {}
    for event in events:
        keys.setdefault(event.split()[1], []).append(event.split()[2])
    return keys


def expect(guest, start, expected, seconds=2.0):
    """Waits for exactly the expected events since line start: each key's
    own in the order given (of two keys, either may come first); returns
    (ok, text)."""
    guest.pump(lambda: len(guest.events(start)) >= len(expected), seconds)
    guest.wait(0.05)  # anything doubled would follow at once
    got = guest.events(start)
    ok = per_key(got) == per_key(expected)
    return ok, f"expected {expected}, got {got}"


def play(guest, steps):
    """Plays steps, each a pause in seconds or (key, ON or OFF[, wait]): the
    key pressed or let go, then its line waited for (up to wait seconds,
    2 if not given); then expects each key's own lines, ON then OFF."""
    start = len(guest.lines)
    expected = []
    for step in steps:
        if not isinstance(step, tuple):
            guest.wait(step)
            continue
        key, state = step[:2]
        (guest.press if state == ON else guest.release)(key[:2])
        guest.pump(seen(guest, key[2], state, start), step[2] if len(step) > 2 else 2)
        expected.append(event(key[2], state))
    return expect(guest, start, expected)


def press_and_release(guest, key, hold, seconds=2):
    """One key pressed for hold seconds (else until its ON line); whether
    exactly its ON and OFF lines came, the events, and the wake time (the
    press to its ON line on the console) or None."""
    row, column, code = key
    start = len(guest.lines)
    guest.press((row, column))
    if hold:
        guest.wait(hold)
    else:
        guest.pump(seen(guest, code, ON, start), seconds)
    guest.release((row, column))
    got = guest.pump(seen(guest, code, OFF, start), seconds)
    guest.wait(0.02)
    events = guest.events(start)
    wake = None
    for t, text in guest.lines[start:]:
        if text.startswith(event(code, ON) + " "):
            wake = t - guest.pressed[(row, column)]
            break
    return got and events == [event(code, ON), event(code, OFF)], events, wake


def main():
    log = sys.argv[1]
    qemu = sys.argv[sys.argv.index("--") + 1:]
    booted = time.monotonic()
    guest = Guest(qemu, log)
    try:
        if not guest.pump(guest.line_seen("READY"), 120):
            check("boot", False, "no READY line from the guest within 120 s")
            return 1
        print(f"figure: edge stage: guest from start to teclado idle {time.monotonic() - booted:.1f} s",
              flush=True)
        relay(guest.lines)
        guest.guest_cpu_realtime()

        # Every key, ON then OFF, exactly; its wake time from the press to
        # its ON line on the console.
        wakes = []
        for key in KEYS:
            def attempt(key=key):
                ok, events, wake = press_and_release(guest, key, 0)
                if ok and wake is not None:
                    wakes.append(wake)
                return ok, f"row line {key[0]}, column line {key[1]}: {events}"
            checked(guest, f"key-{key[2]}", attempt)
        if wakes:
            print(f"figure: wake, key closed to 'Botao ... ON' on the guest's console: median "
                  f"{statistics.median(wakes) * 1e3:.2f} ms, worst {max(wakes) * 1e3:.2f} ms "
                  f"over {len(wakes)} keys", flush=True)

        # Two keys held together, on other rows and columns.
        a, b = KEYS[0], KEYS[5]
        checked(guest, "two-keys", lambda: play(guest, [(a, ON), (b, ON), 0.1, (a, OFF), (b, OFF)]))
        # One key let go and another pressed a moment later, so that the
        # press lands before, while and after the wait is armed again; the
        # second key is on the last row, the last scanned.
        b = KEYS[15]
        for gap_ms in (0, 0.5, 1, 2, 3, 4, 6, 10):
            steps = [(a, ON), 0.05, (a, OFF, 0), gap_ms / 1e3, (b, ON), 0.05, (b, OFF)]
            checked(guest, f"re-arm-{gap_ms}ms", lambda steps=steps: play(guest, steps))
        # A key pressed while another is held and kept after that one is
        # let go: no wait while it is held.
        checked(guest, "held-across",
                lambda: play(guest, [(a, ON), (b, ON), (a, OFF), 0.2, (b, OFF)]))

        # Taps. Whether one is caught depends on how soon the emulated
        # guest looks again, which this PC's load moves: a figure, with the
        # target of a 3 ms tap caught marked. What must hold whatever the
        # timing: no tap seen in part (an ON without its OFF) or as
        # another key, unless a column followed its row late.
        wrong = []
        first = f"key {KEYS[0][2]}"
        for name, keys, ms, times in ((first, KEYS[:1], 3, 10), ("diagonal", KEYS[::5], 3, 3),
                                      ("diagonal", KEYS[::5], 5, 3), ("diagonal", KEYS[::5], 8, 3)):
            caught = 0
            for key in keys:
                for _ in range(times):
                    late = guest.late
                    ok, events, _ = press_and_release(guest, key, ms / 1e3, 0.5)
                    caught += ok
                    if events and not ok and guest.late == late:
                        wrong.append(events)
                    guest.wait(0.02)
            mark = " (target: one caught; MISSED)" if name == first and not caught else ""
            print(f"figure: taps of {ms} ms caught (ON then OFF), {name}: {caught} of "
                  f"{len(keys) * times}{mark}", flush=True)
        check("taps", not wrong, f"taps seen in part or as another key: {wrong or 'none'}")

        print(f"figure: edge harness: {guest.late} of {guest.follows} columns set more than "
              f"{LATE * 1e3:.1f} ms after their row changed (slowest {guest.slowest * 1e3:.2f} ms); "
              f"{guest.replays} checks played again for it", flush=True)

        # The guest reports what teclado said on standard error and ends.
        start = len(guest.lines)
        guest.qemu.stdin.write(b"end\n")
        guest.qemu.stdin.flush()
        guest.pump(guest.line_seen("---- end", start), 10)
        relay(guest.lines[start:])
        return 1 if failures else 0
    finally:
        guest.close()


if __name__ == "__main__":
    sys.exit(main())
