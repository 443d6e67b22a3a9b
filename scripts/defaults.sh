# teclado's public default password, read from where the program has it
# (src/config.h.in), for the scripts that must agree with the program: the
# private servers' root, the demo's reading account, the check that no
# other password reaches a package. Sourced; sets default_password.
default_password=$(sed -n 's/^constexpr const char \*BANCO_SENHA = "\(.*\)";$/\1/p' \
  "$(dirname "${BASH_SOURCE[0]}")/../src/config.h.in")
if [ -z "$default_password" ]; then
  echo "defaults.sh: no BANCO_SENHA line in src/config.h.in" >&2
  exit 1
fi
