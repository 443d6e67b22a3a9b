#!/bin/bash
# Unpacks the board's own libraries that a cross build links and runs with
# (the MariaDB client and what it needs, the C and C++ runtime, GoogleTest)
# into build-ARCH-root/, for the cross-builds (cmake/armhf.cmake,
# cmake/arm64.cmake), qemu-arm and qemu-aarch64, the .deb's dependencies and
# the kernel and edge stages' guests. Nothing is installed:
# dpkg keeps a Multi-Arch: same library for two architectures only at one
# version, and the PC's libmariadb3 or libssl3 is often a security update
# that the mirror has not yet built for armhf, which then cannot go in.
#
# usage: armhf-root.sh [armhf|arm64]   (run by install-deps.sh cross or
#                                       arm64, as root; armhf if not given)
#   build-ARCH-root/tree        the packages' files, laid out as on the board
#   build-ARCH-root/pkgs/NAME   each package with its control files, where
#                               dpkg-shlibdeps finds which package has a library
# Made once; delete the folder to fetch the packages again.
set -euo pipefail

cd "$(dirname "$0")/.."
arch=${1:-armhf}
case $arch in
  armhf) group=cross ;;
  arm64) group=arm64 ;;
  *) echo "armhf-root: unknown architecture '$arch' (armhf, arm64)" >&2; exit 2 ;;
esac
root=build-$arch-root
packages=(libc6 libgcc-s1 libstdc++6 libmariadb3 libssl3 zlib1g libgtest-dev)

if [ -f "$root/packages" ] && [ "$(cat "$root/packages")" = "${packages[*]}" ]; then
  exit 0
fi

# apt-get download needs the architecture in apt's list and its lists.
if ! apt-cache show "libmariadb3:$arch" > /dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "armhf-root: apt knows no $arch packages; run scripts/install-deps.sh $group as root" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  # A list that fails (a mirror in sync) leaves the others usable; what is
  # missing shows below as a package apt cannot download.
  apt-get -q update > /dev/null 2>&1 ||
    echo "armhf-root: apt-get update could not fetch every list; going on with the rest" >&2
fi

rm -rf "$root.part"
mkdir -p "$root.part/debs" "$root.part/tree" "$root.part/pkgs"
board=("${packages[@]/%/:$arch}")
if ! (cd "$root.part/debs" && apt-get download -q "${board[@]}") > "$root.part/download.log" 2>&1; then
  # apt warns that its _apt user cannot write here; that is not the failure.
  grep -v '^W: Download is performed unsandboxed' "$root.part/download.log" >&2 || true
  echo "armhf-root: apt-get download ${board[*]} failed" >&2
  exit 1
fi
for deb in "$root.part"/debs/*.deb; do
  name=$(dpkg-deb --field "$deb" Package)
  dpkg-deb -x "$deb" "$root.part/tree"
  dpkg-deb -R "$deb" "$root.part/pkgs/$name"
done
echo "${packages[*]}" > "$root.part/packages"
rm -rf "$root"
mv "$root.part" "$root"
echo "armhf-root: $(ls "$root/debs" | tr '\n' ' ')unpacked into $root"
