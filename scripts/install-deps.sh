#!/bin/bash
# Installs what teclado needs to build, run and test on Debian 12, as root.
# Safe to run again: when everything is already there it does not touch apt.
#
# usage: install-deps.sh [--list] [group ...]
#   --list   print the packages the groups need, one a line; install nothing
#   (none)   build, run and test on this PC
#   cross    also cross-build for armhf boards and run that build under qemu-arm;
#            the board's libraries are unpacked into build-armhf-root/, never
#            installed (scripts/armhf-root.sh); and check the .deb packages
#   faults   also the fault and soak tests' tools (valgrind)
#   bench    also what the benchmarks compare against (PyMySQL)
#   kernel   also boot the armhf build on an emulated Raspberry Pi (with cross)
#   arm64    also cross-build for arm64 boards and run that build under
#            qemu-aarch64; the board's libraries are unpacked into
#            build-arm64-root/ (scripts/armhf-root.sh arm64)
#   edge     also boot the arm64 build on QEMU's virt board (with arm64)
#   fresh    also make a fresh Debian root for the README's commands (test-fresh.sh)
#
# While it installs, no package's service is started (a policy-rc.d that
# says no): teclado's demo and tests run a private server of their own
# (scripts/private-mariadb.sh), and a system server would only hold memory
# and the default port. That is all: a MariaDB already running is left
# running, and the mariadb.service that mariadb-server installs stays
# enabled, so it starts at the next boot (systemctl disable mariadb to stop
# that). A policy left behind by a run that was killed is removed first.
set -euo pipefail

packages=(
  g++ cmake make pkg-config  # build
  libmariadb-dev             # client library the program links against
  mariadb-server             # mariadbd and mariadb-install-db for the private server
  mariadb-client             # mariadb command, used to load the schema and read rows
  libgtest-dev               # unit tests
  python3                    # test helpers
  systemd                    # systemd-analyze checks the unit (backends and armhf stages)
  libxml2-utils              # xmllint checks teclado-relatorio's SVG
  openssl                    # the TLS tests make their certificates at test time
)
list=false
if [ "${1:-}" = --list ]; then list=true; shift; fi
armhf=false
root=false
arm64=false
for group in "$@"; do
  case $group in
    cross)
      armhf=true
      root=true
      packages+=(
        crossbuild-essential-armhf  # arm-linux-gnueabihf-g++
        qemu-user                   # qemu-arm runs the armhf build here
        dpkg-dev                    # dpkg-shlibdeps for the packages' dependencies
        lintian                     # package.sh holds both packages to Debian's rules
        man-db                      # package.sh renders the manual pages with man --warnings
      ) ;;
    faults) packages+=(valgrind) ;;
    bench) packages+=(python3-pymysql) ;;
    kernel)
      # The kernel and the guest's busybox are armhf packages that
      # scripts/test-kernel.sh fetches and unpacks, never installs.
      armhf=true
      packages+=(
        qemu-system-arm  # boots Debian's armmp kernel on a Raspberry Pi 2 B model
        cpio             # packs the guest's initramfs
      ) ;;
    arm64)
      arm64=true
      packages+=(
        crossbuild-essential-arm64  # aarch64-linux-gnu-g++
        qemu-user                   # qemu-aarch64 runs the arm64 build here
        dpkg-dev                    # dpkg-shlibdeps for the arm64 package's dependencies
        lintian                     # package.sh holds the arm64 package to Debian's rules
        man-db                      # package.sh renders the manual pages with man --warnings
      ) ;;
    edge)
      # The kernel and the guest's busybox are arm64 packages that
      # scripts/test-edge.sh fetches and unpacks, never installs.
      arm64=true
      packages+=(
        qemu-system-arm       # qemu-system-aarch64 boots Debian's arm64 kernel on virt
        cpio                  # packs the guest's initramfs
        device-tree-compiler  # fdtput frees the PL061's lines in virt's device tree
        python3               # tests/kernel/edge.py plays the keypad over qtest
      ) ;;
    fresh) packages+=(debootstrap) ;;
    *) echo "install-deps: unknown group '$group' (cross, faults, bench, kernel, arm64, edge, fresh)" >&2; exit 2 ;;
  esac
done
if $list; then printf '%s\n' "${packages[@]}"; exit 0; fi

# A removed package can leave a "deinstall ok config-files" record, so only
# "installed" counts. A name without an architecture means the PC's own (or
# "all"): with an armhf copy beside it, the bare name matches both.
native=$(dpkg --print-architecture)
installed() {
  case $1 in
    *:*) [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ] ;;
    *) dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' "$1" 2>/dev/null |
         grep -Eqx "installed ($native|all)" ;;
  esac
}
# A run killed while it installed (kill -9, power cut) leaves its policy in
# place, and every later package would then be kept from starting its
# service, long after teclado's install is over.
# TECLADO_POLICY_RC_D: another path, for check-install-deps.sh's check of this step.
policy=${TECLADO_POLICY_RC_D:-/usr/sbin/policy-rc.d}
saved=$policy.teclado-saved
marker='# Put here by teclado scripts/install-deps.sh while it installs.'
if [ -f "$policy" ] && grep -qxF "$marker" "$policy"; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: $policy was left by an interrupted run and keeps services from" \
         "starting; run this script as root to remove it" >&2
    exit 1
  fi
  rm -f "$policy"
  if [ -e "$saved" ]; then mv "$saved" "$policy"; fi
  echo "install-deps: removed $policy left by an interrupted run"
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  if $root; then bash "$(dirname "$0")/armhf-root.sh"; fi
  if $arm64; then bash "$(dirname "$0")/armhf-root.sh" arm64; fi
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

# invoke-rc.d and deb-systemd-invoke ask /usr/sbin/policy-rc.d before they
# start a service from a package's postinst; exit 101 means "not allowed".
# A policy already there is set aside and put back, whatever it says.
restore_policy() {
  rm -f "$policy"
  if [ -e "$saved" ]; then mv "$saved" "$policy"; fi
}
if [ -e "$policy" ] && [ ! -e "$saved" ]; then mv "$policy" "$saved"; fi
trap restore_policy EXIT
printf '#!/bin/sh\n%s\nexit 101\n' "$marker" > "$policy"
chmod 755 "$policy"

# The full apt output goes to a log that is shown only if something fails.
log=$(mktemp /tmp/teclado-install-deps.XXXXXX.log)
echo "install-deps: installing ${missing[*]} (log: $log)"
export DEBIAN_FRONTEND=noninteractive
apt_get() {
  apt-get -q -o DPkg::Lock::Timeout=300 -o Dpkg::Use-Pty=0 "$@" >> "$log" 2>&1 || {
    echo "install-deps: apt-get $1 failed; end of $log:" >&2
    tail -n 40 "$log" >&2
    exit 1
  }
}
if $armhf && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
if $arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
# A mirror in the middle of a sync serves a list that does not match its
# signed release file, and apt refuses that one list; a later try usually
# gets it. The lists fetched stay usable: if one is still missing, what it
# held shows as a package apt cannot install.
tries=3
until apt-get -q -o DPkg::Lock::Timeout=300 update >> "$log" 2>&1; do
  tries=$((tries - 1))
  if [ "$tries" -eq 0 ]; then
    echo "install-deps: apt-get update could not fetch every list; going on with the others:" >&2
    grep '^E: ' "$log" | sort -u | head -n 5 >&2
    break
  fi
  echo "install-deps: apt-get update failed (a mirror in sync?); trying again in 30 s" >&2
  sleep 30
done
apt_get install -y --no-install-recommends "${missing[@]}"
if [[ " ${missing[*]} " == *" mariadb-server "* ]]; then
  echo "install-deps: mariadb-server installed, its service not started now; it is enabled" \
       "and starts at the next boot (systemctl disable mariadb to keep it off)"
fi
echo "install-deps: done"
rm -f "$log"
if $root; then bash "$(dirname "$0")/armhf-root.sh"; fi
if $arm64; then bash "$(dirname "$0")/armhf-root.sh" arm64; fi
