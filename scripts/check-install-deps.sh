#!/bin/bash
# Checks scripts/install-deps.sh: that each group asks for what its stages
# run (a file they need comes from a package of the group or one those
# depend on), and that it clears the policy-rc.d that a killed run of it
# leaves, which would otherwise keep the system's services from ever
# starting, putting back a policy it had set aside. The policy is tried on
# files of its own (TECLADO_POLICY_RC_D), never the system's; with every
# package there, install-deps.sh touches no apt.
#
# A group is checked only where every package it names is installed: on a
# machine where the stages so far have not installed it, what its stages
# need is not there yet, and that is no fault of the group.
#
# usage: check-install-deps.sh [--all]    (as root, like install-deps.sh)
#   --all   every group must be installed here, none is left out
set -euo pipefail

cd "$(dirname "$0")/.."
fail() { echo "check-install-deps: FAIL: $*" >&2; exit 1; }
all=false
case ${1:-} in
  --all) all=true ;;
  '') ;;
  *) echo "usage: $0 [--all]" >&2; exit 2 ;;
esac
dir=$(mktemp -d -t teclado-policy.XXXXXX)
trap 'rm -rf "$dir"' EXIT
policy=$dir/policy-rc.d

# A file each group's stages need, by group (none: every stage).
needs=(
  ": /usr/bin/cmake /usr/bin/g++ /usr/bin/make /usr/bin/pkg-config /usr/include/mariadb/mysql.h
     /usr/sbin/mariadbd /usr/bin/mariadb /usr/include/gtest/gtest.h /usr/bin/python3
     /usr/bin/systemd-analyze /usr/bin/xmllint /usr/bin/openssl"
  "faults: /usr/bin/valgrind"
  "bench: /usr/lib/python3/dist-packages/pymysql/__init__.py"
  "cross: /usr/bin/arm-linux-gnueabihf-g++ /usr/bin/qemu-arm /usr/bin/dpkg-shlibdeps
     /usr/bin/lintian /usr/bin/man"
  "kernel: /usr/bin/qemu-system-arm /bin/cpio"
  "arm64: /usr/bin/aarch64-linux-gnu-g++ /usr/bin/qemu-aarch64 /usr/bin/dpkg-shlibdeps
     /usr/bin/lintian /usr/bin/man"
  "edge: /usr/bin/qemu-system-aarch64 /bin/cpio /usr/bin/fdtput /usr/bin/python3"
  "fresh: /usr/sbin/debootstrap"
)
# closure PACKAGE...: those packages and all they depend on, as installed here.
closure() {
  dpkg-query -W -f='${db:Status-Status}\t${Package}\t${Depends}, ${Pre-Depends}\n' |
    awk -F'\t' -v start="$*" '
      $1 == "installed" {
        d = $3; gsub(/\([^)]*\)|:[a-z0-9]+/, "", d); gsub(/[|,]/, " ", d); deps[$2] = deps[$2] d
      }
      END {
        n = split(start, queue, " ")
        for (i = 1; i <= n; i++) seen[queue[i]] = 1
        for (i = 1; i <= n; i++) {
          m = split(deps[queue[i]], next_, " ")
          for (j = 1; j <= m; j++) if (!(next_[j] in seen)) { seen[next_[j]] = 1; queue[++n] = next_[j] }
        }
        for (p in seen) print p
      }'
}
# installed PACKAGE...: each of them is installed here.
installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || return 1
  done
}
checked=() left=()
for entry in "${needs[@]}"; do
  group=${entry%%:*}
  packages=$(bash scripts/install-deps.sh --list $group)
  if ! installed $packages; then
    # Without its packages, the policy's check below would install them.
    [ "$all" = false ] && [ -n "$group" ] \
      || fail "install-deps.sh ${group:-(no group)} has not been run here"
    left+=("${group:-(no group)}")
    continue
  fi
  checked+=("${group:-(no group)}")
  have=$(closure $packages)
  for file in ${entry#*:}; do
    owner=$(dpkg -S "$file" 2>/dev/null | head -n 1 | sed 's/[:,].*//') \
      || fail "no package here holds $file"
    grep -qxF -- "$owner" <<< "$have" \
      || fail "install-deps.sh ${group:-(no group)} installs nothing that brings $file ($owner)"
  done
done
echo "check-install-deps: each group brings what its stages run: ${checked[*]}"
[ ${#left[@]} -eq 0 ] || echo "check-install-deps: not installed here, not checked: ${left[*]}"

# after_killed_run [SET_ASIDE]: install-deps.sh run after one that was
# killed while it installed, having set aside the policy SET_ASIDE.
after_killed_run() {
  if [ $# -gt 0 ]; then echo "$1" > "$policy.teclado-saved"; fi
  printf '#!/bin/sh\n# Put here by teclado scripts/install-deps.sh while it installs.\nexit 101\n' \
    > "$policy"
  TECLADO_POLICY_RC_D=$policy bash scripts/install-deps.sh > "$dir/log" 2>&1 \
    || { cat "$dir/log" >&2; fail "install-deps.sh"; }
}

after_killed_run
[ ! -e "$policy" ] || fail "install-deps.sh left the policy-rc.d of a killed run in place"
after_killed_run "# the administrator's own policy"
[ "$(cat "$policy" 2>/dev/null)" = "# the administrator's own policy" ] \
  && [ ! -e "$policy.teclado-saved" ] \
  || fail "install-deps.sh did not put back the policy-rc.d a killed run had set aside"
echo "check-install-deps: a killed run's policy-rc.d removed, the one it set aside put back"
