#!/bin/bash
# Stage "fresh" of scripts/test.sh: the README's two commands as a new user
# meets them, on a Debian 12 root that has never seen teclado. A machine
# that has run the suite before hides a missing install step or a file put
# where only an old build tree had it; this root hides nothing.
#
# The root: debootstrap --variant=minbase bookworm plus git, from the
# Debian mirror this machine's apt uses, with its apt sources (the release,
# its updates and security) and a policy-rc.d that lets no service start.
# The commit checked out here (HEAD; changes not committed are not in it)
# is cloned by the root's own git into /root/teclado, root's 0700 home.
# Then, as root in the root, each step timed and run even after one fails:
#   demo     bash scripts/demo.sh: installs the packages every stage needs
#   native   test.sh native: the fault tools, the suite in a clone in /root
#   armhf    test.sh armhf: the cross tools, the board's libraries fetched,
#            the install check before the kernel and bench groups are in,
#            the armhf suites and the packages, installed in the root
#   kernel   test.sh kernel: QEMU, Debian's kernel fetched and booted
#   groups   install-deps.sh with the groups no step above installed
#            (bench, arm64's and edge's tools, fresh), then
#            check-install-deps.sh --all
# Left out, as they set up nothing the steps above do not: chardev,
# wiringpi and sanitize (the packages every stage needs, builds like
# native's), soak (the faults group, but 20,000 events and valgrind: minutes
# that prove nothing about a fresh machine), bench (its group installed and
# checked; its runs are the armhf build and the tests' server), arm64 and
# edge (their groups installed and checked; their builds and downloads are
# made as armhf's and kernel's are, by the same scripts).
#
# The root runs in mount and PID namespaces of its own (unshare
# --kill-child): its /proc, /sys, /dev and /dev/pts, and debootstrap's own
# mounts, are never seen outside, and end with its last process, which
# dies when the stage is killed; so a root left behind by a killed run is
# a plain folder, safe to delete. Its processes see only each other, its
# /tmp is its own: the host's private servers' sockets are out of reach.
# It shares the host's network, which apt needs.
#
# Cache (TECLADO_FRESH_CACHE, default /var/cache/teclado-fresh, 0700):
# debootstrap's download as a tarball, made again after 7 days so the root
# stays as current as a new user's, and the .deb files the steps' apt
# fetched, handed to the next root's apt, which checks them against the
# archive's lists as it would any download. TECLADO_FRESH_KEEP=1 keeps
# the root (a plain folder) for a look after the run.
#
# usage: test-fresh.sh      (as root)
set -euo pipefail

self=$(realpath "$0")
cd "$(dirname "$0")/.."
fail() { echo "test-fresh: $*" >&2; exit 1; }
suite=bookworm
cache=${TECLADO_FRESH_CACHE:-/var/cache/teclado-fresh}
tarball=$cache/$suite-minbase-git-$(dpkg --print-architecture).tgz

# The steps run in the root, in this order (name, then the command run in
# the clone).
steps=(
  "demo     bash scripts/demo.sh"
  "native   bash scripts/test.sh native"
  "armhf    bash scripts/test.sh armhf"
  "kernel   bash scripts/test.sh kernel"
  "groups   bash scripts/install-deps.sh bench cross arm64 edge && bash scripts/install-deps.sh fresh &&
            bash scripts/check-install-deps.sh --all"
)

# ---- Inside the namespaces: this script again, as their first process ----
# inside WORK SOURCE: makes the root in WORK/root, clones SOURCE's bundle
# and runs the steps; on its way out, ends every other process here and
# unmounts all below the root.
inside() {
  local bundle=$2
  # Not local: the exit trap below needs root after this function returns.
  work=$1
  root=$work/root
  # kill -1 below must reach this namespace's processes alone.
  [ $$ -eq 1 ] || fail "--inside runs only as the first process of a PID namespace"
  unmount_all() {
    trap '' INT TERM
    kill -KILL -1 2>/dev/null || true  # every other process of this PID namespace
    local target
    for target in $(findmnt -rn -o TARGET | grep -F "$root/" | sort -r); do
      umount "$target" 2>/dev/null || umount -l "$target"
    done
  }
  trap unmount_all EXIT

  # debootstrap's download, cached; the tarball is made in a file of its
  # own first, so a run killed meanwhile leaves no half tarball in place.
  local begun=$SECONDS started=$SECONDS mirror security summary=() fetched=cached
  mirror=$(sources "$suite" | head -n 1)
  security=$(sources "$suite-security" | head -n 1)
  if [ -z "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
    local part
    part=$(mktemp "$tarball.XXXXXX")
    debootstrap --variant=minbase --include=git --make-tarball="$part" "$suite" \
      "$work/download" "$mirror" > "$work/debootstrap.log" 2>&1 \
      || { tail -n 30 "$work/debootstrap.log" >&2; rm -f "$part"; fail "debootstrap --make-tarball failed"; }
    chmod 644 "$part"
    mv -f "$part" "$tarball"
    fetched="fetched now in $((SECONDS - started)) s"
  fi
  started=$SECONDS
  debootstrap --variant=minbase --include=git --unpack-tarball="$tarball" "$suite" "$root" \
    "$mirror" > "$work/debootstrap.log" 2>&1 \
    || { tail -n 30 "$work/debootstrap.log" >&2; fail "debootstrap --unpack-tarball failed"; }
  summary+=("$(printf '%-8s %-6s %5d s to unpack; its download %s MB, %s' debootstrap passed \
    $((SECONDS - started)) "$(du -m "$tarball" | cut -f1)" \
    "$fetched")")

  # As a new Debian 12 machine has them: the release, its updates and security.
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    echo "deb $security $suite-security main"
  } > "$root/etc/apt/sources.list"
  printf '#!/bin/sh\n# No service starts in this root.\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  find "$cache/archives" -maxdepth 1 -name '*.deb' -exec cp -l -t "$root/var/cache/apt/archives" {} + \
    2>/dev/null \
    || find "$cache/archives" -maxdepth 1 -name '*.deb' -exec cp -t "$root/var/cache/apt/archives" {} + \
    2>/dev/null || true

  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --make-rslave "$root/sys"
  mount --bind /dev "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"

  cp "$bundle" "$root/tmp/teclado.bundle"
  in_root "git -c advice.detachedHead=false clone -q /tmp/teclado.bundle /root/teclado &&
           rm /tmp/teclado.bundle && git -C /root/teclado log --oneline -1 && ls -ld /root" \
    || fail "git clone in the root failed"

  local step name status failed=()
  for step in "${steps[@]}"; do
    name=${step%% *}
    # shellcheck disable=SC2086 # the command on one line
    echo "==== test-fresh: $name:" ${step#"$name"}
    started=$SECONDS
    status=0
    in_root "cd /root/teclado && ${step#"$name"}" < /dev/null || status=$?
    summary+=("$(printf '%-8s %-6s %5d s' "$name" "$([ $status -eq 0 ] && echo passed || echo FAILED)" \
                 $((SECONDS - started)))")
    [ $status -eq 0 ] || failed+=("$name")
  done

  # What the steps fetched becomes the cache: apt's autoclean drops the
  # .deb files the archive no longer has, by lists fetched now (with the
  # lists of a root where no step fetched them, it would drop updates).
  in_root "apt-get -q update > /dev/null 2>&1 && apt-get -q autoclean > /dev/null" || true
  local fresh_archives
  fresh_archives=$(mktemp -d "$cache/archives.XXXXXX")
  find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' \
    -exec cp -l -t "$fresh_archives" {} + 2>/dev/null \
    || find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' \
      -exec cp -t "$fresh_archives" {} +
  rm -rf "$cache/archives"
  mv -T "$fresh_archives" "$cache/archives" || rm -rf "$fresh_archives"

  echo "==== test-fresh: the README's commands on a fresh $suite root"
  printf '  %s\n' "${summary[@]}"
  echo "  in all, from the root's download to here: $((SECONDS - begun)) s"
  echo "  cache $cache: debootstrap $(du -m "$tarball" | cut -f1) MB," \
       "apt's downloads $(du -sm "$cache/archives" | cut -f1) MB;" \
       "fetched by the stages into the clone, not cached:" \
       "$(du -scm "$root"/root/teclado/build-*/debs 2>/dev/null | tail -n 1 | cut -f1) MB"
  [ ${#failed[@]} -eq 0 ] || fail "failed in the fresh root: ${failed[*]}"
}

# sources SUITE: the URI of this machine's apt source of SUITE, main
# (Debian's own if it has none).
sources() {
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
    awk -v suite="$1" '$2 == suite && $3 == "main" { print $1; exit }')
  if [ -n "$uri" ]; then echo "$uri"
  elif [ "$1" = "$suite-security" ]; then echo http://deb.debian.org/debian-security/
  else echo http://deb.debian.org/debian/
  fi
}

# in_root COMMAND: COMMAND in the root, by root's login shell, with nothing
# of this machine's environment.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" /bin/bash -lc "$1"
}

if [ "${1:-}" = --inside ]; then
  inside "$2" "$3"
  exit
fi

# ---- Outside: set up, then the namespaces, then clean up ----
[ "$(id -u)" -eq 0 ] || fail "run as root: debootstrap and chroot need it"
[ $# -eq 0 ] || { echo "usage: $0" >&2; exit 2; }
bash scripts/install-deps.sh fresh
install -d -m 700 "$cache" "$cache/archives"
# What a run killed while it wrote the cache left, a day old.
find "$cache" -maxdepth 1 \( -name 'archives.??????' -o -name "${tarball##*/}.??????" \) -mmin +1440 \
  -exec rm -rf {} +
work=$(mktemp -d -t teclado-fresh.XXXXXX)
child=
cleanup() {
  trap '' INT TERM
  # unshare ignores SIGTERM and SIGINT while it waits; SIGKILL ends it and,
  # through --kill-child, everything in the namespaces.
  if [ -n "$child" ]; then kill -KILL "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  # The mounts were made in the namespaces alone; should one show here,
  # nothing below it is deleted. (No grep -q: findmnt cut short by it
  # would fail the pipe and read as "nothing mounted".)
  local mounted
  mounted=$(findmnt -rn -o TARGET | grep -F "$work/" || true)
  if [ -n "$mounted" ]; then
    echo "test-fresh: something is mounted below $work; it is left in place" >&2
  elif [ -n "${TECLADO_FRESH_KEEP:-}" ]; then
    echo "test-fresh: the root is kept in $work/root"
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

refs=(HEAD)
branch=$(git symbolic-ref -q HEAD) && refs+=("$branch")
git bundle create -q "$work/teclado.bundle" "${refs[@]}"
# --pdeathsig: unshare is killed when this script dies, even by SIGKILL;
# --kill-child: then the namespaces' first process is killed, and with it
# every process and mount in them.
setpriv --pdeathsig KILL unshare --mount --pid --fork --kill-child --mount-proc \
  bash "$self" --inside "$work" "$work/teclado.bundle" &
child=$!
status=0
wait "$child" || status=$?
child=
exit "$status"
