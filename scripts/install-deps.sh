#!/bin/bash
# Installs what teclado needs to build, run and test on Debian 12, as root.
# Safe to run again: when everything is already there it does not touch apt.
#
# The system's MariaDB service is kept from starting: teclado's demo and
# tests run a private server of their own (scripts/private-mariadb.sh), and a
# system server would only hold memory and the default port.
set -euo pipefail

packages=(
  g++ cmake make pkg-config  # build
  libmariadb-dev             # client library the program links against
  mariadb-server             # mariadbd and mariadb-install-db for the private server
  mariadb-client             # mariadb command, used to load the schema and read rows
  libgtest-dev               # unit tests
  python3                    # test helpers
)

missing=()
for p in "${packages[@]}"; do
  # A removed package can leave a "deinstall ok config-files" record, so only
  # "installed" counts.
  if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != installed ]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

# invoke-rc.d and deb-systemd-invoke ask /usr/sbin/policy-rc.d before they
# start a service from a package's postinst; exit 101 means "not allowed".
# A policy already there is set aside and put back, whatever it says.
policy=/usr/sbin/policy-rc.d
saved=$policy.teclado-saved
restore_policy() {
  rm -f "$policy"
  if [ -e "$saved" ]; then mv "$saved" "$policy"; fi
}
if [ -e "$policy" ] && [ ! -e "$saved" ]; then mv "$policy" "$saved"; fi
trap restore_policy EXIT
printf '#!/bin/sh\n# Put here by teclado scripts/install-deps.sh while it installs.\nexit 101\n' > "$policy"
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
apt_get update
apt_get install -y --no-install-recommends "${missing[@]}"
echo "install-deps: done"
rm -f "$log"
