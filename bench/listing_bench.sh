#!/usr/bin/env bash
# Listing benchmark: 100 simulated printers (100 addresses on the printer
# side of a private lab, one printer_sim process) all answer the query at
# the same moment; the backend lists them under a "g" name (every brand).
# Prints how many are listed, the time from each reply's arrival to its
# line on stdout (median, p95), the CPU time of the whole run and its peak
# resident memory; bench/listing_bench.py explains how each is measured.
#
# Builds nothing. Needs root (network namespaces) and python3.
# Env: NETBACKEND, PRINTER_SIM (default: build/default/...), RUNS (default 1;
# each run takes the program's 15-second budget), JSON_DIR (optional: one
# JSON file of figures per run).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
NETBACKEND=${NETBACKEND:-$root/build/default/netbackend}
PRINTER_SIM=${PRINTER_SIM:-$root/build/default/tools/printer_sim}
export PRINTER_SIM
RUNS=${RUNS:-1}
COUNT=100

[[ -x $NETBACKEND ]] || { echo "listing_bench: no program at $NETBACKEND (set NETBACKEND)" >&2; exit 1; }
[[ -x $PRINTER_SIM ]] || { echo "listing_bench: no printer_sim at $PRINTER_SIM (set PRINTER_SIM)" >&2; exit 1; }
PY=$(command -v python3) || { echo "listing_bench: python3 is needed" >&2; exit 1; }

# shellcheck source=../tests/e2e/lib/netlab.sh source-path=SCRIPTDIR
source "$root/tests/e2e/lib/netlab.sh"
lab=bench$$
netlab_up "$lab"
tmp=$(netlab_tmpdir "$lab")

# Printer i (1..100) at 10.77.0.(i+1); the first address is the lab's own.
sim=()
for ((i = 1; i <= COUNT; i++)); do
  ip=10.77.0.$((i + 1))
  ((i > 1)) && netlab_add_printer_ip "$lab" "$ip"
  sim+=(--printer --macuaa "$(printf '0A0B0C0D%04X' "$i")" --ip "$ip" --vidpid 2E970001
    --mdns-name "bench-$i" --device-id "MFG:Tamo;CMD:PCL,PJL;MDL:Bench $i;CLS:PRINTER;")
done
netlab_sim "$lab" --quiet "${sim[@]}"

# The brand comes from the file name of the executable itself: "g..." lists
# every printer. A hard link (or a copy) gives it that name.
exe=$tmp/gprinter-bench-$$
ln -f "$NETBACKEND" "$exe" 2>/dev/null || cp "$NETBACKEND" "$exe"
mkdir -p "$tmp/tmpdir"   # no trace marker: the trace stays off

echo "listing_bench: $COUNT printers, program $NETBACKEND, rmem_max $(cat /proc/sys/net/core/rmem_max)"
for ((run = 1; run <= RUNS; run++)); do
  json=()
  [[ -n ${JSON_DIR:-} ]] && json=(--json "$JSON_DIR/listing_bench-$run.json")
  netlab_run_host "$lab" "$PY" "$here/listing_bench.py" --exe "$exe" \
    --iface "$(netlab_ifname "$lab" h 0)" --tmpdir "$tmp/tmpdir" "${json[@]}"
done
