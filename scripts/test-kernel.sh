#!/bin/bash
# Stage "kernel" of scripts/test.sh: the board's teclado (armhf, chardev) on
# a real Linux kernel. Debian's armmp kernel boots on qemu-system-arm's
# Raspberry Pi 2 B with the board's own device tree and an initramfs holding
# teclado, its libraries, busybox and a probe (tests/kernel/); the guest's
# /init runs the checks and prints a PASS or FAIL line for each, which are
# checked here. What it can and cannot show: docs/kernel-stage.md.
#
# Everything lands in build-kernel/: the cross-build, the Debian packages
# (fetched with apt-get download into build-kernel/debs once, and unpacked
# with dpkg-deb, never installed), the guest's tree, the initramfs and the
# guest's console, console.log, and QEMU's own messages, qemu.log.
set -euo pipefail

cd "$(dirname "$0")/.."
. scripts/guest.sh
bash scripts/install-deps.sh cross kernel
started=$SECONDS

build=build-kernel
debs=$build/debs
guest=$build/guest
log=$build/console.log

cmake -S . -B $build -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
  -DTECLADO_GPIO=chardev -DBUILD_TESTING=OFF > /dev/null
cmake --build $build -j2 --target teclado
# The keypad's codes and BCM lines, from src/mapa_do_teclado.h: the guest's
# checks and the list of them below follow it.
. $build/mapa_do_teclado.sh
bash scripts/check-elf.sh $build/teclado armhf

# The armmp metapackage names the current kernel's own package.
kernel=$(apt-cache depends linux-image-armmp:armhf |
  sed -n 's/^ *Depends: \(linux-image-[^ :]*-armmp\).*/\1/p' | head -n 1)
[ -n "$kernel" ] || { echo "test-kernel: no kernel package behind linux-image-armmp:armhf" >&2; exit 1; }
kernel_deb=$(fetch $debs "$kernel" armhf)
busybox_deb=$(fetch $debs busybox-static armhf)

# Only the kernel image and the Pi 2 B's device tree are taken from the
# kernel package.
unpacked=$debs/$(basename "$kernel_deb" .deb)
if [ ! -d "$unpacked" ]; then
  mkdir -p "$unpacked.part"
  dpkg-deb --fsys-tarfile "$kernel_deb" |
    tar -x -C "$unpacked.part" --wildcards './boot/vmlinuz-*' './usr/lib/linux-image-*/bcm2836-rpi-2-b.dtb'
  mv "$unpacked.part" "$unpacked"
fi
vmlinuz=$(ls "$unpacked"/boot/vmlinuz-*)
dtb=$(ls "$unpacked"/usr/lib/linux-image-*/bcm2836-rpi-2-b.dtb)

# The guest's tree, made afresh each run.
rm -rf "$guest"
mkdir -p "$guest"/{bin,usr/bin,lib,etc,proc,sys,dev,run}
dpkg-deb --fsys-tarfile "$busybox_deb" | tar -x -O ./bin/busybox > "$guest/bin/busybox"
chmod 755 "$guest/bin/busybox"
ln -s busybox "$guest/bin/sh"
install -m 755 tests/kernel/init "$guest/init"
install -m 644 $build/mapa_do_teclado.sh "$guest/etc/mapa_do_teclado.sh"
install -m 755 $build/teclado "$guest/usr/bin/teclado"
arm-linux-gnueabihf-gcc -static -O2 -Wall -Wextra -Werror -Isrc -o "$guest/usr/bin/probe" \
  tests/kernel/probe.c

# teclado's shared libraries, and theirs, by soname, from the board's own
# armhf packages (libmariadb3 and what it depends on, the C and C++ runtime)
# as scripts/armhf-root.sh unpacked them.
copy_libraries "$guest" arm-linux-gnueabihf-readelf build-armhf-root/tree/{usr/,}lib/arm-linux-gnueabihf
(cd "$guest" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > $build/initramfs.cpio

# One guest CPU on an instruction-counted clock (-icount): guest time is
# counted in instructions, not taken from this PC's clock, so the probe's
# columns follow the rows within teclado's 1 ms settle time however loaded
# this PC is. At 16 ns an instruction (shift=4) a guest millisecond holds
# enough instructions for the probe's wake-ups and teclado's scan together.
# cryptomgr.notests skips the kernel's crypto self-tests, most of the boot
# under emulation. iomem=relaxed lets the probe map the
# GPIO block through /dev/mem. The guest halts at the end, but QEMU does not
# exit: it is stopped once the end line is on the console.
limit=180
rm -f "$log"
booted=$SECONDS
qemu-system-arm -M raspi2b -kernel "$vmlinuz" -dtb "$dtb" -initrd $build/initramfs.cpio \
  -append "console=ttyAMA0,115200 rdinit=/init maxcpus=1 panic=-1 iomem=relaxed cryptomgr.notests quiet" \
  -icount shift=4,sleep=off -no-reboot -display none -monitor none -serial "file:$log" \
  2> $build/qemu.log &
qemu=$!
trap 'kill $qemu 2>/dev/null || true' EXIT
end_line='---- end of the guest'"'"'s checks'
while ! grep -q "^$end_line" "$log" 2>/dev/null; do
  if ! kill -0 $qemu 2>/dev/null; then
    echo "test-kernel: QEMU ended before the guest's end line" >&2
    break
  fi
  if [ $((SECONDS - booted)) -ge $limit ]; then
    echo "test-kernel: no end line from the guest within $limit s" >&2
    break
  fi
  sleep 0.5
done
guest_time=$((SECONDS - booted))
kill $qemu 2>/dev/null || true
wait $qemu 2>/dev/null || true
trap - EXIT

# The serial console ends its lines with CR LF.
results=$(tr -d '\r' < "$log" | grep -E '^(PASS|FAIL) ' || true)
# A claim per line, columns first; a key per row, on the diagonal (init).
codes=($TECLADO_CODIGOS)
checks=()
for line in $TECLADO_COLUNAS_BCM $TECLADO_LINHAS_BCM; do checks+=("claim-$line"); done
checks+=(rows scan "key-${codes[0]}" "key-${codes[5]}" "key-${codes[10]}" "key-${codes[15]}" busy access)
missing=()
for check in "${checks[@]}"; do
  grep -q "^PASS $check: " <<< "$results" || missing+=("$check")
done
echo "$results"
echo "figure: kernel stage: $((SECONDS - started)) s, of which the guest from boot to its end line $guest_time s"
if [ ${#missing[@]} -gt 0 ] || grep -q '^FAIL ' <<< "$results"; then
  echo "test-kernel: failed; no PASS for: ${missing[*]:-(none missing)}; the guest's console ($log):" >&2
  tr -d '\r' < "$log" | tail -n 60 >&2
  cat $build/qemu.log >&2
  exit 1
fi
echo "test-kernel: all $(grep -c '^PASS ' <<< "$results") checks passed"
