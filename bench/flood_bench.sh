#!/usr/bin/env bash
# Flood benchmark: one printer answers the first query with a flood of one
# valid reply, RATE datagrams a second, for longer than the budget; the
# backend lists under a "g" name (every brand) and keeps reading until its
# 15 s are spent. Prints the datagrams the namespace received, the
# backend's CPU time, and the CPU per datagram received, for each program
# given (a before-and-after comparison: NETBACKEND=old:new).
#
# Builds nothing. Needs root (network namespaces).
# Env: NETBACKEND (colon-separated list; default build/default/netbackend),
# PRINTER_SIM, RATE (default 100000: more than the backend reads).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
NETBACKEND=${NETBACKEND:-$root/build/default/netbackend}
PRINTER_SIM=${PRINTER_SIM:-$root/build/default/tools/printer_sim}
export PRINTER_SIM
RATE=${RATE:-100000}

# shellcheck source=../tests/e2e/lib/netlab.sh source-path=SCRIPTDIR
source "$root/tests/e2e/lib/netlab.sh"
lab=flood$$
trap 'netlab_down "$lab"' EXIT
IFS=: read -r -a programs <<<"$NETBACKEND"
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
for program in "${programs[@]}"; do
  cp "$program" "$dir/gprinter"
  netlab_sim "$lab" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 \
    --device-id "MFG:Tamo;MDL:F;" --quiet --flood "$RATE" --flood-seconds 17
  udp_in() { netlab_run_host "$lab" awk '/^Udp:/ && $2 ~ /^[0-9]/ {print $2 + $4; exit}' /proc/net/snmp; }
  before=$(udp_in)
  read -r user sys < <(netlab_run_host "$lab" /usr/bin/time -f '%U %S' "$dir/gprinter" 2>&1 >/dev/null | tail -n 1)
  after=$(udp_in)
  netlab_sim_stop "$lab" || true
  awk -v p="$program" -v n=$((after - before)) -v u="$user" -v s="$sys" 'BEGIN {
    printf "%s: %d datagrams, CPU %.2f s (user %.2f, system %.2f), %.2f us per datagram\n",
           p, n, u + s, u, s, (u + s) * 1e6 / (n > 0 ? n : 1) }'
done
