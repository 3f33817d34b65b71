#!/usr/bin/env bash
# Job discovery on a lossy link: RUNS job runs (default 100) against one
# simulated printer, with LOSS per cent (default 20) of the UDP datagrams
# dropped at random each way on the link (nftables, where each side receives:
# this kernel has no netem). Prints the share of runs handed over to the printer
# and the median time from start to the hand-over; a run that is not handed
# over ends after the 15-second budget. The runs go LABS labs (default 10)
# at a time, one after the other within a lab.
#
# Builds nothing. Needs root (network namespaces) and nft.
# Env: NETBACKEND, PRINTER_SIM, FAKE_SOCKET (default: build/default/...),
# RUNS, LOSS, LABS.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
NETBACKEND=${NETBACKEND:-$root/build/default/netbackend}
PRINTER_SIM=${PRINTER_SIM:-$root/build/default/tools/printer_sim}
FAKE_SOCKET=${FAKE_SOCKET:-$root/build/default/tests/fake_socket_backend}
export PRINTER_SIM
RUNS=${RUNS:-100}
LOSS=${LOSS:-20}
LABS=${LABS:-10}

for f in "$NETBACKEND" "$PRINTER_SIM" "$FAKE_SOCKET"; do
  [[ -x $f ]] || { echo "loss_bench: no executable $f (build first, or set the variable)" >&2; exit 1; }
done
command -v nft >/dev/null || { echo "loss_bench: nft is needed (Debian's nftables)" >&2; exit 1; }

# shellcheck source=../tests/e2e/lib/netlab.sh source-path=SCRIPTDIR
source "$root/tests/e2e/lib/netlab.sh"

work=$(mktemp -d /tmp/loss_bench.XXXXXX)
trap 'rm -rf -- "$work"' EXIT
mkdir -p "$work/serverbin/backend"
ln -s "$FAKE_SOCKET" "$work/serverbin/backend/socket"
cp "$NETBACKEND" "$work/tamo"

# lane LAB COUNT: COUNT job runs one after the other in LAB; one line per
# run: "<seconds until exit> <handed over: 1 or 0>".
lane() {
  local lab=$1 count=$2 i start end
  for ((i = 0; i < count; i++)); do
    rm -f "$work/$lab.record"
    start=$EPOCHREALTIME
    netlab_run_host "$lab" env DEVICE_URI=tamo://80C4A2E691D5 CUPS_SERVERBIN="$work/serverbin" \
      FAKE_SOCKET_RECORD="$work/$lab.record" "$work/tamo" 1 bench title 1 '' /dev/null \
      >/dev/null 2>&1 || true
    end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" -v ok="$([[ -s $work/$lab.record ]] && echo 1 || echo 0)" \
      'BEGIN { printf "%.3f %d\n", e - s, ok }'
  done >"$work/$lab.runs"
}

labs=()
for ((l = 0; l < LABS; l++)); do
  lab=loss$$x$l
  netlab_up "$lab"
  labs+=("$lab")
  # Each side drops what it receives: a sender's own output rule would fail
  # its send() with EPERM, which a lossy link never does.
  for side in h p; do
    ip netns exec "$lab-$side" nft -f - <<EOF
table inet loss {
  chain in { type filter hook input priority 0; meta l4proto udp numgen random mod 100 < $LOSS drop; }
}
EOF
  done
  netlab_sim "$lab" --quiet --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 \
    --device-id 'MFG:Tamo;MDL:Bench;'
done

echo "loss_bench: $RUNS job runs, $LOSS% of UDP datagrams lost each way, $LABS labs at a time"
pids=()
for ((l = 0; l < LABS; l++)); do
  lane "${labs[l]}" $(((RUNS + LABS - 1 - l) / LABS)) &
  pids+=($!)
done
wait "${pids[@]}"

cat "$work"/*.runs | sort -n | awk -v runs="$RUNS" '
  { t[NR] = $1; if ($2 == 1) { ok++; h[ok] = $1 } }
  END {
    printf "handed over: %d of %d (%.1f%%); target >= 95%%\n", ok, NR, 100 * ok / NR
    if (ok > 0) printf "time to the hand-over: median %.2f s, slowest %.2f s\n", h[int((ok + 1) / 2)], h[ok]
  }'
