#!/usr/bin/env python3
"""The chardev build where it cannot have its GPIO lines, or loses them
while it scans: one line of standard error saying why and status 1, before
touching the database. The faults come from the stand-in GPIO device
(LD_PRELOAD, FAKE_GPIO_FAULT, on the board FAKE_GPIO_BOARD names, a Pi 3 B),
the last from this machine's kernel, which has none.

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

LOST = "sem ela o teclado nao e lido, o programa termina"

FAULTS = {
    "no-chip": NO_DEVICE,
    "eacces": f"teclado: pino 0 (GPIO17): sem permissao para abrir /dev/gpiochip0 (EACCES); {ACCESS}",
    "eperm": f"teclado: pino 0 (GPIO17): sem permissao para abrir /dev/gpiochip0 (EPERM); {ACCESS}",
    # The expander's CAM_GPIO0 is not on the header: the SoC's line 27 is.
    "no-line": "teclado: pino 2 (GPIO27): nenhum chip GPIO da placa (rotulo pinctrl-bcm2835, "
               "pinctrl-bcm2711 ou pinctrl-rp1) nem outro chip com as oito linhas do teclado pelo "
               'nome (faltou GPIO27 ou CAM_GPIO0); chips vistos: gpiochip0 "unknown-soc-gpio" '
               '(54 linhas), gpiochip1 "raspberrypi-exp-gpio" (8 linhas)',
    "ebusy": 'teclado: pino 4 (GPIO23): linha ja em uso por "outro-programa" em /dev/gpiochip0 '
             "(EBUSY); pare o programa que a usa",
    "request-eperm": "teclado: pino 0 (GPIO17): sem permissao para usar a linha em /dev/gpiochip0 "
                     f"(EPERM); {ACCESS}",
    # Lost while scanning: the first reading; the first write after the
    # first pass, row 0 raised for the idle wait.
    "read-error": f"teclado: pino 0 (GPIO17): a linha 17 de /dev/gpiochip0 falhou ao ler (EIO); {LOST}",
    "unbound": f"teclado: pino 4 (GPIO23): a linha 23 de /dev/gpiochip0 falhou ao escrever (ENODEV); {LOST}",
}


def run(env, seconds=10):
    """Runs teclado; returns (status or None if still running, stdout, stderr)."""
    proc = subprocess.Popen(TECLADO, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
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

    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "QEMU_SET_ENV", "FAKE_GPIO_FAULT")}
    if glob.glob("/dev/gpiochip*"):
        print("this machine has /dev/gpiochip*: the run without the stand-in is skipped")
    else:
        check_refused("no stand-in", run(env), NO_DEVICE)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
