#!/bin/bash
# Stage "edge" of scripts/test.sh: the arm64 board build of teclado
# (chardev) on Debian's arm64 kernel under qemu-system-aarch64 -M virt,
# whose PL061 GPIO block has real edge events, with the keypad played from
# the PC over QEMU's qtest socket (tests/kernel/edge.py). What it can and
# cannot show: docs/kernel-stage.md.
#
# Everything lands in build-edge/: the cross-build, the Debian packages
# (fetched with apt-get download into build-edge/debs once, and unpacked
# with dpkg-deb, never installed), the device tree, the guest's tree, the
# initramfs and the guest's console, console.log.
set -euo pipefail

cd "$(dirname "$0")/.."
. scripts/guest.sh
bash scripts/install-deps.sh arm64 edge
started=$SECONDS

build=build-edge
debs=$build/debs
guest=$build/guest

cmake -S . -B $build -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake \
  -DTECLADO_GPIO=chardev -DBUILD_TESTING=OFF > /dev/null
cmake --build $build -j2 --target teclado
bash scripts/check-elf.sh $build/teclado arm64

# The arm64 metapackage names the current kernel's own package.
kernel=$(apt-cache depends linux-image-arm64:arm64 |
  sed -n 's/^ *Depends: \(linux-image-[^ :]*-arm64\).*/\1/p' | head -n 1)
[ -n "$kernel" ] || { echo "test-edge: no kernel package behind linux-image-arm64:arm64" >&2; exit 1; }
kernel_deb=$(fetch $debs "$kernel" arm64)
busybox_deb=$(fetch $debs busybox-static arm64)
echo "figure: edge stage: downloads $(du -ck "$kernel_deb" "$busybox_deb" | tail -n 1 | cut -f1) KiB" \
     "($(basename "$kernel_deb"), $(basename "$busybox_deb"))"

# Only the kernel image is taken from the kernel package: virt's device
# tree is QEMU's own.
unpacked=$debs/$(basename "$kernel_deb" .deb)
if [ ! -d "$unpacked" ]; then
  mkdir -p "$unpacked.part"
  dpkg-deb --fsys-tarfile "$kernel_deb" | tar -x -C "$unpacked.part" --wildcards './boot/vmlinuz-*'
  mv "$unpacked.part" "$unpacked"
fi
vmlinuz=$(ls "$unpacked"/boot/vmlinuz-*)

# The guest's tree, made afresh each run.
rm -rf "$guest"
mkdir -p "$guest"/{bin,usr/bin,lib,etc,proc,sys,dev,run}
dpkg-deb --fsys-tarfile "$busybox_deb" | tar -x -O ./bin/busybox > "$guest/bin/busybox"
chmod 755 "$guest/bin/busybox"
ln -s busybox "$guest/bin/sh"
install -m 755 tests/kernel/edge-init "$guest/init"
install -m 755 $build/teclado "$guest/usr/bin/teclado"

# teclado's shared libraries, and theirs, by soname, from the board's own
# arm64 packages as scripts/armhf-root.sh unpacked them.
copy_libraries "$guest" aarch64-linux-gnu-readelf build-arm64-root/tree/{usr/,}lib/aarch64-linux-gnu

# One CPU, TCG: the guest's clock is this PC's, so the wake figures include
# the emulator's own delays. No network: virt's default NIC wants a boot
# ROM that qemu-system-arm does not ship.
qemu=(qemu-system-aarch64 -M virt -accel tcg -cpu cortex-a53 -smp 1 -m 256 -nic none
      -display none -monitor none -no-reboot -kernel "$vmlinuz"
      -append "console=ttyAMA0 rdinit=/init panic=-1 cryptomgr.notests quiet")

# virt's device tree, as QEMU makes it for this very machine, gives PL061
# line 3 to gpio-keys (the power button): without that node all eight
# lines are free. Dumped before the initramfs exists (it holds the chip's
# name, read from this tree); at boot QEMU writes the initramfs's place
# into the tree it is given.
"${qemu[@]}" -machine dumpdtb=$build/virt.dtb > /dev/null 2>&1
fdtget $build/virt.dtb /gpio-keys compatible > /dev/null
fdtput -r $build/virt.dtb /gpio-keys
# teclado finds the lines through its option file, as on any board that is
# not a Pi: the chip by the label the kernel gives it (its device's name:
# the node's unit address, a dot, the node's name) and lines 0 to 7 in the
# keypad's order, the four columns, then the four rows.
pl061=$(fdtget -l $build/virt.dtb / | grep '^pl061@')
mkdir -p "$guest/etc/teclado"
printf '[teclado]\ngpio-chip=%s.%s\ngpio-lines=0,1,2,3,4,5,6,7\n' "${pl061#*@}" "${pl061%@*}" \
  > "$guest/etc/teclado/teclado.cnf"
chmod 600 "$guest/etc/teclado/teclado.cnf"
(cd "$guest" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > $build/initramfs.cpio

booted=$SECONDS
status=0
PYTHONPATH=$build/python python3 -B tests/kernel/edge.py $build/console.log -- \
  "${qemu[@]}" -initrd $build/initramfs.cpio -dtb $build/virt.dtb || status=$?
echo "figure: edge stage: $((SECONDS - started)) s, of which the guest $((SECONDS - booted)) s"
if [ $status -ne 0 ]; then
  echo "test-edge: failed; the guest's console ($build/console.log):" >&2
  tr -d '\r' < $build/console.log | tail -n 60 >&2
  exit 1
fi
echo "test-edge: all checks passed"
