#!/usr/bin/env python3
"""The chardev build where it cannot have its GPIO lines: one line of
standard error saying why and status 1, before touching the database. The
faults come from the stand-in GPIO device (LD_PRELOAD, FAKE_GPIO_FAULT), the
last from this machine's kernel, which has none. With every reading failing
the program keeps scanning and reports nothing.

usage: gpio_faults.py teclado-command...
"""
import glob
import os
import subprocess
import sys

from teclado_run import START_LINE, check, finish

TECLADO = sys.argv[1:]
START = (START_LINE + "\n").encode()
ACCESS = "o usuario precisa de acesso a /dev/gpiochip* (por exemplo, o grupo gpio)"
NO_DEVICE = ("teclado: pino 0 (GPIO17): nenhum /dev/gpiochip* neste sistema "
             "(o kernel nao oferece GPIO por dispositivo de caracteres)")

FAULTS = {
    "no-chip": NO_DEVICE,
    "eacces": f"teclado: pino 0 (GPIO17): sem permissao para abrir /dev/gpiochip0 (EACCES); {ACCESS}",
    "eperm": f"teclado: pino 0 (GPIO17): sem permissao para abrir /dev/gpiochip0 (EPERM); {ACCESS}",
    "no-line": "teclado: pino 3 (GPIO22): nenhum /dev/gpiochip* tem uma linha com esse nome",
    "ebusy": 'teclado: pino 4 (GPIO23): linha ja em uso por "outro-programa" em /dev/gpiochip4 '
             "(EBUSY); pare o programa que a usa",
    "request-eperm": "teclado: pino 0 (GPIO17): sem permissao para usar a linha em /dev/gpiochip4 "
                     f"(EPERM); {ACCESS}",
}


def run(env, keys=b"", seconds=10):
    """Runs teclado; returns (status or None if still running, stdout, stderr)."""
    proc = subprocess.Popen(TECLADO, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(keys)
    proc.stdin.close()
    try:
        proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        return None, proc.stdout.read(), proc.stderr.read()
    return proc.returncode, proc.stdout.read(), proc.stderr.read()


def check_refused(name, got, line):
    wanted = (1, START, (line + "\n").encode())
    check(got == wanted, f"{name}: (status, stdout, stderr) {got!r}, expected {wanted!r}")


def main():
    check(os.environ.get("LD_PRELOAD") or "LD_PRELOAD=" in os.environ.get("QEMU_SET_ENV", ""),
          "LD_PRELOAD does not name the stand-in for the GPIO device")
    for fault, line in FAULTS.items():
        check_refused(fault, run(dict(os.environ, FAKE_GPIO_FAULT=fault)), line)

    # Every reading fails: no state changes, no event, and the scan goes on.
    env = dict(os.environ, FAKE_GPIO_FAULT="read-error")
    got = run(env, b"press 5\npress 44\n", seconds=1.5)
    check(got == (None, START, b""), f"read-error: (status, stdout, stderr) {got!r}, "
          "expected it still running with only the start line")

    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "QEMU_SET_ENV", "FAKE_GPIO_FAULT")}
    if glob.glob("/dev/gpiochip*"):
        print("this machine has /dev/gpiochip*: the run without the stand-in is skipped")
    else:
        check_refused("no stand-in", run(env), NO_DEVICE)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
