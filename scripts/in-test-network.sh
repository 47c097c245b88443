#!/usr/bin/env bash
# Runs a command inside a private network namespace made for it: lo up, a veth
# pair with 198.51.100.1/24 and a default route through it. Nothing run here
# can reach this machine's real interfaces.
set -euo pipefail
if [ "${KIT_IN_TEST_NETWORK:-}" != 1 ]; then
  export KIT_IN_TEST_NETWORK=1
  if [ "$(id -u)" = 0 ]; then
    exec unshare -n -- "$0" "$@"
  else
    exec unshare -rn -- "$0" "$@"
  fi
fi
ip link set lo up
ip link add kitveth0 type veth peer name kitveth1
ip addr add 198.51.100.1/24 dev kitveth0
ip link set kitveth0 up
ip link set kitveth1 up
ip route add default dev kitveth0
exec "$@"
