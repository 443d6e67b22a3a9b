#!/bin/bash
# Unpacks the board's own libraries that the armhf build links and runs with
# (the MariaDB client and what it needs, the C and C++ runtime, GoogleTest)
# into build-armhf-root/, for the cross-builds (cmake/armhf.cmake), qemu-arm,
# the .deb's dependencies and the kernel stage's guest. Nothing is installed:
# dpkg keeps a Multi-Arch: same library for two architectures only at one
# version, and the PC's libmariadb3 or libssl3 is often a security update
# that the mirror has not yet built for armhf, which then cannot go in.
#
# usage: armhf-root.sh      (run by install-deps.sh cross, as root)
#   build-armhf-root/tree        the packages' files, laid out as on the board
#   build-armhf-root/pkgs/NAME   each package with its control files, where
#                                dpkg-shlibdeps finds which package has a library
# Made once; delete the folder to fetch the packages again.
set -euo pipefail

cd "$(dirname "$0")/.."
root=build-armhf-root
packages=(libc6 libgcc-s1 libstdc++6 libmariadb3 libssl3 zlib1g libgtest-dev)

if [ -f "$root/packages" ] && [ "$(cat "$root/packages")" = "${packages[*]}" ]; then
  exit 0
fi

# apt-get download needs armhf in apt's architectures and its lists.
if ! apt-cache show libmariadb3:armhf > /dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "armhf-root: apt knows no armhf packages; run scripts/install-deps.sh cross as root" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  # A list that fails (a mirror in sync) leaves the others usable; what is
  # missing shows below as a package apt cannot download.
  apt-get -q update > /dev/null 2>&1 ||
    echo "armhf-root: apt-get update could not fetch every list; going on with the rest" >&2
fi

rm -rf "$root.part"
mkdir -p "$root.part/debs" "$root.part/tree" "$root.part/pkgs"
armhf=("${packages[@]/%/:armhf}")
if ! (cd "$root.part/debs" && apt-get download -q "${armhf[@]}") > "$root.part/download.log" 2>&1; then
  # apt warns that its _apt user cannot write here; that is not the failure.
  grep -v '^W: Download is performed unsandboxed' "$root.part/download.log" >&2 || true
  echo "armhf-root: apt-get download ${armhf[*]} failed" >&2
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
