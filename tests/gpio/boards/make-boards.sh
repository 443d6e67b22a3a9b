#!/bin/bash
# Makes the board files of this folder: the GPIO chips that Debian 12's
# kernel shows on each Raspberry Pi, as tests/gpio/fake_gpiochip.cpp reads
# them. Run it from anywhere; it rewrites every *.chips file but the Pi 5
# ones (written by hand, see their heads). CI does not run it: its output is
# committed. Needs dtc (device-tree-compiler), python3 and Debian's apt.
#
# Where each fact comes from:
# - The trees: every Raspberry Pi DTB (bcm2835-rpi-*, bcm2836-rpi-*,
#   bcm2837-rpi-*, bcm2711-rpi-*) in Debian 12's linux-image-armmp (armhf)
#   and linux-image-arm64 packages, fetched with apt-get download (arm64
#   through a private package list, so the machine gets no new
#   architecture), unpacked with dpkg-deb -x, never installed, read with
#   dtc -I dtb -O dts.
# - The chips: every node with gpio-controller whose status is not
#   "disabled". Line names: its gpio-line-names, as gpiolib gives them to the
#   lines in order (an empty name leaves a line unnamed).
# - Label and line count per compatible, from the kernel's drivers:
#   drivers/pinctrl/bcm/pinctrl-bcm2835.c: "brcm,bcm2835-gpio" is
#   bcm2835_gpio_chip, label MODULE_NAME "pinctrl-bcm2835", BCM2835_NUM_GPIOS
#   54; "brcm,bcm2711-gpio" is bcm2711_gpio_chip, label "pinctrl-bcm2711",
#   BCM2711_NUM_GPIOS 58. drivers/gpio/gpio-raspberrypi-exp.c:
#   "raspberrypi,firmware-gpio", label MODULE_NAME "raspberrypi-exp-gpio",
#   NUM_GPIO 8. Any other compatible stops this script.
# - Chip numbers: the SoC's chip is gpiochip0, the firmware's expander
#   gpiochip1: the pin controller probes with the SoC, the expander only
#   once the firmware driver is up.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The folder is root's alone: apt fetches as root rather than as _apt.
apt=(-o APT::Sandbox::User=root)
apt-get -q "${apt[@]}" download linux-image-armmp:armhf > /dev/null
# arm64 from a package list of its own, in $work.
arm64=("${apt[@]}" -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
       -o APT::Architecture=arm64 -o APT::Architectures::=arm64)
mkdir -p lists/partial cache/archives/partial
apt-get -q "${arm64[@]}" update > /dev/null
apt-get -q "${arm64[@]}" download linux-image-arm64 > /dev/null
# The meta packages name the kernel package of the day.
armmp=$(dpkg-deb -f linux-image-armmp_*.deb Depends | grep -o 'linux-image-[^ ,]*-armmp')
arm64k=$(dpkg-deb -f linux-image-arm64_*.deb Depends | grep -o 'linux-image-[^ ,]*-arm64')
apt-get -q "${apt[@]}" download "$armmp:armhf" > /dev/null
apt-get -q "${arm64[@]}" download "$arm64k" > /dev/null

rm -f "$here"/armmp_*.chips "$here"/arm64_*.chips  # pi5_*: by hand
for deb in "$armmp"_*.deb "$arm64k"_*.deb; do
  flavour=${deb%%_*}; flavour=${flavour##*-}
  version=$(dpkg-deb -f "$deb" Version)
  dpkg-deb -x "$deb" "x-$flavour"
  for dtb in $(find "x-$flavour" -name 'bcm283[567]-rpi-*.dtb' -o -name 'bcm2711-rpi-*.dtb' | sort); do
    board=$(basename "$dtb" .dtb)
    dtc -q -I dtb -O dts "$dtb" > "$board.dts"
    python3 - "$board.dts" "${deb%%_*} $version: $(basename "$dtb")" \
      > "$here/${flavour}_$board.chips" <<'PY'
import re, sys

KNOWN = {  # compatible -> (label, lines), from the drivers named above
    "brcm,bcm2835-gpio": ("pinctrl-bcm2835", 54),
    "brcm,bcm2711-gpio": ("pinctrl-bcm2711", 58),
    "raspberrypi,firmware-gpio": ("raspberrypi-exp-gpio", 8),
}
dts, source = sys.argv[1], sys.argv[2]
chips, stack = [], []
for line in open(dts):
    line = line.strip()
    if line.endswith("{"):
        stack.append({})
    elif line == "};":
        node = stack.pop()
        if "gpio-controller" in node and node.get("status") != '"disabled"':
            chips.append(node)
    elif stack:
        key, _, value = line.rstrip(";").partition(" = ")
        stack[-1][key] = value
# The SoC's chip first, then the rest in tree order.
chips.sort(key=lambda n: not KNOWN[n["compatible"].split('"')[1]][0].startswith("pinctrl-"))
print(f"# {source}, dtc -I dtb -O dts; made by make-boards.sh")
for number, node in enumerate(chips):
    compatible = node["compatible"].split('"')[1]
    label, count = KNOWN[compatible]  # KeyError: a chip this script does not know
    print(f"chip {number} {label} {count}")
    names = node.get("gpio-line-names", '""')
    names = re.fullmatch(r'"(.*)"', names).group(1).split("\\0")
    for offset, name in enumerate(names[:count]):
        if name:
            print(f"{offset} {name}")
PY
  done
done
ls "$here"
