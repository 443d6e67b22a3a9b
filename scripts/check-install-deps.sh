#!/bin/bash
# Checks that scripts/install-deps.sh clears the policy-rc.d that a killed
# run of it leaves, which would otherwise keep the system's services from
# ever starting, and puts back a policy it had set aside. Tried on files of
# its own (TECLADO_POLICY_RC_D), never the system's; with the packages of
# the groups given all installed, install-deps.sh touches no apt.
#
# usage: check-install-deps.sh [group ...]    (as root, like install-deps.sh)
set -euo pipefail

cd "$(dirname "$0")/.."
fail() { echo "check-install-deps: FAIL: $*" >&2; exit 1; }
dir=$(mktemp -d -t teclado-policy.XXXXXX)
trap 'rm -rf "$dir"' EXIT
policy=$dir/policy-rc.d

# after_killed_run SET_ASIDE GROUP...: install-deps.sh run after one that
# was killed while it installed, having set aside the policy SET_ASIDE (if
# not empty).
after_killed_run() {
  if [ -n "$1" ]; then echo "$1" > "$policy.teclado-saved"; fi
  shift
  printf '#!/bin/sh\n# Put here by teclado scripts/install-deps.sh while it installs.\nexit 101\n' \
    > "$policy"
  TECLADO_POLICY_RC_D=$policy bash scripts/install-deps.sh "$@" > "$dir/log" 2>&1 \
    || { cat "$dir/log" >&2; fail "install-deps.sh $*"; }
}

after_killed_run "" "$@"
[ ! -e "$policy" ] || fail "install-deps.sh left the policy-rc.d of a killed run in place"
after_killed_run "# the administrator's own policy" "$@"
[ "$(cat "$policy" 2>/dev/null)" = "# the administrator's own policy" ] \
  && [ ! -e "$policy.teclado-saved" ] \
  || fail "install-deps.sh did not put back the policy-rc.d a killed run had set aside"
echo "check-install-deps: a killed run's policy-rc.d removed, the one it set aside put back"
