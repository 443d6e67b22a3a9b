#!/bin/bash
# Builds teclado's .deb packages for the board and checks them:
#   build-deb-amd64/teclado_*_amd64.deb   (native)
#   build-deb-armhf/teclado_*_armhf.deb   (cross, cmake/armhf.cmake)
#   build-deb-arm64/teclado_*_arm64.deb   (cross, cmake/arm64.cmake)
# All use the board's GPIO backend (chardev), prefix /usr and no tests.
# Each must pass lintian with no error or warning (an override only with
# its reason, packaging/lintian-overrides), and is checked for what lintian
# does not know: its architecture, dependencies, the modes of the binary
# (0755: it holds no secret) and of the option file (0600 root), a build
# password absent from the binary, manual pages that groff renders at 80
# columns without a warning. The amd64 one is then installed here:
# its teclado must refuse to run on a machine without GPIO (status 1, one
# clear line on stderr), and its unit must pass systemd-analyze verify and
# keep its exposure score; its maintainer scripts are run through install,
# enable, upgrade, remove, install and purge (this machine runs no
# systemd: what is checked is the enable links, deb-systemd-helper's
# records and the conffile). The armhf and arm64 ones are each unpacked
# with the packages of their architecture that they depend on and run under
# qemu-arm or qemu-aarch64 the same way, which proves their dependencies
# resolve to packages of the board's architecture that hold what it needs.
#
# usage: package.sh [-DNAME=VALUE ...]    (as root)
#   The options go to every build. A board's database account does not: it
#   goes in /etc/teclado/teclado.cnf on the board. Stage armhf of
#   scripts/test.sh calls it with none.
set -euo pipefail

cd "$(dirname "$0")/.."
options=("$@")
bash scripts/install-deps.sh cross arm64

fail() { echo "package.sh: FAIL: $*" >&2; exit 1; }
. scripts/checks.sh
. scripts/defaults.sh

# A log of its own, never a fixed name in /tmp that another user could have
# planted as a link to a file root would then overwrite.
apt_log=$(mktemp /tmp/teclado-package-apt.XXXXXX)
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=300 \
    -o Dpkg::Use-Pty=0 "$@" > "$apt_log" 2>&1 \
    || { cat "$apt_log" >&2; fail "apt-get $*"; }
}

installed() {
  dpkg-query -W -f='${db:Status-Status}' teclado 2>/dev/null | grep -qv not-installed
}
# The checks install and purge the package: one that was here before would
# be lost.
if installed; then
  fail "a teclado package is installed on this machine; remove it first (apt-get purge teclado)"
fi
# Leaves no teclado package behind, whatever happens below.
purge() { if installed; then apt_get purge teclado; fi; rm -f "$apt_log"; }
trap purge EXIT

build_package() {
  local dir=$1 arch=$2
  shift 2
  rm -rf "$dir"
  cmake -S . -B "$dir" "$@" "${options[@]}" -DTECLADO_GPIO=chardev -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build "$dir" -j2
  (cd "$dir" && cpack -G DEB)
  local debs=("$dir"/teclado_*_"$arch".deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "$dir: expected one teclado_*_$arch.deb"
}

check_package() {
  local deb=$1 arch=$2
  echo "---- $deb"
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"

  local field
  field=$(dpkg-deb --field "$deb" Architecture)
  [ "$field" = "$arch" ] || fail "$deb: Architecture '$field', expected $arch"
  field=$(dpkg-deb --field "$deb" Depends)
  # Versioned, from dpkg-shlibdeps: the C library and the MariaDB client
  # the binary was linked against, and on armhf the unwinder library (ARM
  # EABI's; arm64 and amd64 binaries need none of their own).
  local needed=(libc6 libmariadb3)
  [ "$arch" = armhf ] && needed+=(libgcc-s1)
  for package in "${needed[@]}"; do
    grep -Eq "(^|, )$package \(>= [0-9][^)]*\)" <<< "$field" \
      || fail "$deb: Depends '$field' lacks a versioned $package"
  done
  field=$(dpkg-deb --field "$deb" Recommends)
  [ "$field" = mariadb-server ] || fail "$deb: Recommends '$field', expected mariadb-server"

  # Copyright, changelog, manual pages, file modes and owners in general,
  # the conffile marked as such, maintainer scripts: Debian's own rules.
  # Its output is shown either way.
  lintian --fail-on error,warning --tag-display-limit 0 "$deb" \
    || fail "$deb: lintian reports errors or warnings (above)"
  echo "lintian $deb: no errors or warnings"

  local contents
  contents=$(dpkg-deb --contents "$deb" | awk '{print $1, $2, $NF}')
  # The option file holds the account's password: root alone may read it
  # (lintian is told so). The binary holds none, so anyone may read it.
  for entry in "-rw------- root/root ./etc/teclado/teclado.cnf" \
               "-rwxr-xr-x root/root ./usr/bin/teclado"; do
    grep -qxF -- "$entry" <<< "$contents" || fail "$deb: no '$entry' in its contents"
  done

  local tree
  tree=$(mktemp -d /tmp/teclado-deb.XXXXXX)
  dpkg-deb -x "$deb" "$tree"
  bash scripts/check-elf.sh "$tree/usr/bin/teclado" "$arch"
  cmp -s "$tree/etc/teclado/teclado.cnf" packaging/teclado.cnf \
    || fail "$deb: /etc/teclado/teclado.cnf differs from packaging/teclado.cnf"
  # A password given to the build (any setting named so, but the public
  # default) must not reach the binary everyone may read.
  local name secret
  while IFS='=' read -r name secret; do
    [ -n "$secret" ] && [ "$secret" != "$default_password" ] || continue
    ! grep -qaF -- "$secret" "$tree/usr/bin/teclado" \
      || fail "$deb: /usr/bin/teclado holds the build's ${name%%:*}; set it in" \
              "/etc/teclado/teclado.cnf on the board instead"
  done < <(grep -E '^[A-Za-z_]*PASSWORD[A-Za-z_]*:[A-Z]+=' "$(dirname "$deb")/CMakeCache.txt" || true)
  # Each program with its page. lintian renders a page 120 columns wide;
  # at a terminal's 80, a groff warning (a line that cannot be broken)
  # fails here.
  local program page warnings
  for program in teclado.8 teclado-relatorio.1; do
    page=$tree/usr/share/man/man${program##*.}/$program.gz
    [ -x "$tree/usr/bin/${program%.*}" ] && [ -f "$page" ] \
      || fail "$deb: no /usr/bin/${program%.*} with its page ${page#"$tree"}"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 > /dev/null)
    [ -z "$warnings" ] || fail "$deb: ${page#"$tree"}: $warnings"
  done
  grep -qx 'ExecStart=/usr/bin/teclado' "$tree/usr/lib/systemd/system/teclado.service" \
    || fail "$deb: the unit's ExecStart is not /usr/bin/teclado"
  cmp -s "$tree/usr/share/teclado/estado.sql" sql/estado.sql \
    || fail "$deb: estado.sql differs from sql/estado.sql"
  rm -rf "$tree"
}

# On a machine without GPIO, the installed teclado must say that it finds
# no GPIO device.
no_gpio_line='^teclado: .*/dev/gpiochip'

build_package build-deb-amd64 amd64
build_package build-deb-armhf armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
build_package build-deb-arm64 arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
amd64_deb=$(echo build-deb-amd64/teclado_*_amd64.deb)
armhf_deb=$(echo build-deb-armhf/teclado_*_armhf.deb)
arm64_deb=$(echo build-deb-arm64/teclado_*_arm64.deb)
check_package "$amd64_deb" amd64
check_package "$armhf_deb" armhf
check_package "$arm64_deb" arm64

if compgen -G '/dev/gpiochip*' > /dev/null; then
  no_gpio=false
  echo "package.sh: this machine has /dev/gpiochip*: the no-GPIO runs are skipped"
else
  no_gpio=true
fi

echo "---- installing $amd64_deb"
apt_get install --no-install-recommends "./$amd64_deb"
[ "$(command -v teclado)" = /usr/bin/teclado ] || fail "teclado is not /usr/bin/teclado once installed"
[ "$(stat -c '%a %U' /usr/bin/teclado)" = "755 root" ] \
  || fail "/usr/bin/teclado is $(stat -c '%a %U' /usr/bin/teclado), expected 755 root"
[ "$(stat -c '%a %U %G' /etc/teclado/teclado.cnf)" = "600 root root" ] \
  || fail "/etc/teclado/teclado.cnf is $(stat -c '%a %U %G' /etc/teclado/teclado.cnf)," \
          "expected 600 root root"
! setpriv --reuid=nobody --regid=nogroup --clear-groups cat /etc/teclado/teclado.cnf \
    > /dev/null 2>&1 \
  || fail "another user can read /etc/teclado/teclado.cnf and the password in it"
if $no_gpio; then runs_once "$no_gpio_line" teclado; fi
command -v systemd-analyze > /dev/null \
  || fail "no systemd-analyze: install-deps.sh installs systemd"
systemd-analyze verify /usr/lib/systemd/system/teclado.service \
  || fail "systemd-analyze verify teclado.service"
echo "systemd-analyze verify teclado.service: no complaints"
exposure /usr/lib/systemd/system/teclado.service teclado.service

# The maintainer scripts, from install to purge. Without systemd running
# they start and stop nothing; what shows is the enable link (made here by
# systemctl, which works on the files alone), deb-systemd-helper's records
# and mask, and the conffile.
wants=/etc/systemd/system/multi-user.target.wants/teclado.service
mask=/etc/systemd/system/teclado.service
records=/var/lib/systemd/deb-systemd-helper-enabled/teclado.service.dsh-also
masked=/var/lib/systemd/deb-systemd-helper-masked/teclado.service
edit="# edited by package.sh"
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
absent "$wants" || fail "installing the package enabled teclado.service"
[ -f "$records" ] || fail "no deb-systemd-helper record of teclado.service after installing"
systemctl enable teclado.service > "$apt_log" 2>&1 || { cat "$apt_log" >&2; fail "systemctl enable"; }
[ -L "$wants" ] || fail "systemctl enable made no $wants"
echo "$edit" >> /etc/teclado/teclado.cnf
dpkg_quiet() {
  DEBIAN_FRONTEND=noninteractive dpkg --force-confold "$@" < /dev/null > "$apt_log" 2>&1 \
    || { cat "$apt_log" >&2; fail "dpkg $*"; }
}
dpkg_quiet -i "$amd64_deb"     # an upgrade, to the same version
[ -L "$wants" ] || fail "an upgrade disabled teclado.service"
[ "$(tail -n 1 /etc/teclado/teclado.cnf)" = "$edit" ] || fail "an upgrade lost the conffile's edit"
dpkg_quiet -r teclado
absent "$wants" || fail "removing the package left teclado.service enabled"
[ -e /etc/teclado/teclado.cnf ] || fail "removing the package (not purging) deleted the conffile"
[ "$(readlink "$mask")" = /dev/null ] || fail "removing the package did not mask teclado.service"
dpkg_quiet -i "$amd64_deb"
absent "$wants" || fail "installing again enabled teclado.service"
[ ! -L "$mask" ] || fail "installing again left teclado.service masked"
[ "$(tail -n 1 /etc/teclado/teclado.cnf)" = "$edit" ] \
  || fail "installing again lost the conffile's edit"
systemctl enable teclado.service > "$apt_log" 2>&1 || { cat "$apt_log" >&2; fail "systemctl enable"; }
apt_get purge teclado
for gone in /usr/bin/teclado /usr/lib/systemd/system/teclado.service /etc/teclado "$wants" \
            "$mask" "$records" "$masked"; do
  absent "$gone" || fail "$gone left behind after purging the package"
done
echo "maintainer scripts: install enables nothing; an upgrade keeps the enable link and the" \
     "conffile's edit; remove disables and masks; purge leaves nothing"

# The board packages are not installed here: their libraries cannot sit
# beside the PC's at other versions (scripts/armhf-root.sh says why). Each
# is unpacked instead with every package its Depends name, followed down
# and fetched from apt, each of them of the board's architecture or
# architecture-independent; run under qemu-user in that tree alone, it
# proves that what it depends on is what it needs on the board.
# usage: run_unpacked DEB ARCH QEMU
run_unpacked() {
  local board_deb=$1 board_arch=$2 qemu=$3
  echo "---- unpacking $board_deb with its dependencies"
  board=$(mktemp -d /tmp/teclado-board.XXXXXX)
  trap 'rm -rf "$board"; purge' EXIT
  mkdir "$board/debs" "$board/tree"
  # The board's libraries were fetched once already; only the rest is fetched.
  cp "build-$board_arch-root"/debs/*.deb "$board/debs/"
  local queue=("$board_deb") seen=" " deb arch name
  while [ ${#queue[@]} -gt 0 ]; do
    deb=${queue[0]}
    queue=("${queue[@]:1}")
    arch=$(dpkg-deb --field "$deb" Architecture)
    [ "$arch" = "$board_arch" ] || [ "$arch" = all ] || fail "$deb: architecture $arch, not $board_arch"
    dpkg-deb -x "$deb" "$board/tree"
    for name in $(depends_of "$deb"); do
      case $seen in *" $name "*) continue ;; esac
      seen+="$name "
      if ! compgen -G "$board/debs/${name}_*.deb" > /dev/null; then
        (cd "$board/debs" && { apt-get download -q "$name:$board_arch" || apt-get download -q "$name"; } \
           > /dev/null 2>&1) || fail "$deb depends on $name, which apt has not for $board_arch"
      fi
      queue+=("$(ls "$board/debs/${name}_"*.deb)")
    done
  done
  echo "unpacked with:$seen"
  if $no_gpio; then runs_once "$no_gpio_line" "$qemu" -L "$board/tree" "$board/tree/usr/bin/teclado"; fi
  rm -rf "$board"
  trap purge EXIT
}
# The first of each alternative, without versions or architecture.
depends_of() {
  { dpkg-deb --field "$1" Pre-Depends; dpkg-deb --field "$1" Depends; } |
    tr ',' '\n' | sed 's/|.*//; s/(.*//; s/:any//; s/[[:space:]]//g' | sed '/^$/d'
}
run_unpacked "$armhf_deb" armhf qemu-arm
run_unpacked "$arm64_deb" arm64 qemu-aarch64

echo "package.sh: packages checked: $amd64_deb $armhf_deb $arm64_deb"
