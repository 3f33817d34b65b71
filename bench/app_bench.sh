#!/usr/bin/env bash
# Printer application benchmark, in a lab of its own (tests/e2e/lib/app.sh):
#   first byte  from the start of a Print-Job (ipptool, one A4 page of 8-bit
#               gray PWG raster) to the first byte at the printer's port
#               9100, for the first job after the server starts (the
#               server has seen no printer) and then for later jobs; each
#               job looks for its printer (the simulated one answers at
#               once) before its first byte; at 300 and 600 dpi. The
#               time includes ipptool starting, and the whole first page:
#               the application sends a page once every line of it came.
#               Goal: 50 ms for a later job.
#   memory      the server's peak resident memory (VmHWM) after it started,
#               and after a 20-page 600 dpi job.
# Prints figures, passes no verdict. Builds nothing. Needs root.
# Env: APP, PRINTER_SIM, PCL_COMPARE and NETBACKEND (default: build/default),
# RUNS (jobs per figure, default 10).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
export APP=${APP:-$root/build/default/src/app/netbackend-printer-app}
export PRINTER_SIM=${PRINTER_SIM:-$root/build/default/tools/printer_sim}
export PCL_COMPARE=${PCL_COMPARE:-$root/build/default/tests/pcl_compare}
export NETBACKEND=${NETBACKEND:-$root/build/default/netbackend}
RUNS=${RUNS:-10}

# shellcheck source=../tests/e2e/lib/app.sh source-path=SCRIPTDIR
source "$root/tests/e2e/lib/app.sh"
app_init app_bench

lab=appb$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
# The simulator answers the search only; the print port is a listener that
# notes when each connection's first byte came.
netlab_sim "$lab" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970042 \
  --device-id 'MFG:Tamo;MDL:T1;CMD:PCL;'
cat >"$dir/port.py" <<'EOF'
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.77.0.2", 9100))
s.listen(8)
print("ready", flush=True)
while True:
    c, _ = s.accept()
    data = c.recv(65536)
    first = time.time()
    size = len(data)
    while data:
        data = c.recv(65536)
        size += len(data)
    c.close()
    print("%.6f %d" % (first, size), flush=True)
EOF
netlab_run_printer "$lab" python3 -u "$dir/port.py" >"$dir/port.log" 2>&1 &
for ((i = 0; i < 50; i++)); do
  grep -q ready "$dir/port.log" 2>/dev/null && break
  sleep 0.1
done

app_start "$lab"
pid=${_APP_PID[$lab]}
hwm() { awk '/^VmHWM/ { print $2 / 1024 " MiB" }' "/proc/$1/status"; }
echo "server: VmHWM $(hwm "$pid") after start"
app_add "$lab" p tamo://80C4A2E691D5 pcl
app_document "$dir/doc1.ps" 1
app_document "$dir/doc20.ps" 20
for dpi in 300 600; do app_raster "$dir/doc1.ps" "$dir/page-$dpi.pwg" pwg "$dpi" a4; done
app_raster "$dir/doc20.ps" "$dir/doc20.pwg" pwg 600 a4

# first_byte FILE: milliseconds from the Print-Job to the first byte at the
# printer.
first_byte() {
  local lines start
  lines=$(grep -c . "$dir/port.log")
  start=$EPOCHREALTIME
  app_print "$lab" "$dir/job.out" p "$1" image/pwg-raster >/dev/null
  for ((i = 0; i < 100; i++)); do
    (($(grep -c . "$dir/port.log") > lines)) && break
    sleep 0.05
  done
  sed -n "$((lines + 1))p" "$dir/port.log" | awk -v s="$start" '{ printf "%.1f\n", ($1 - s) * 1000 }'
}

start=$EPOCHREALTIME
app_ipptool "$lab" "$dir/gpa.out" "$(app_uri p)" "$APP_IPPTOOL_DIR/get-printer-attributes.test" || true
echo "yardstick: ipptool's Get-Printer-Attributes, start to end:" \
  "$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.1f", (e - s) * 1000 }') ms"
echo "first byte at the printer, first job after the start: $(first_byte "$dir/page-300.pwg") ms"
for dpi in 300 600; do
  for ((r = 0; r < RUNS; r++)); do first_byte "$dir/page-$dpi.pwg"; done | sort -n |
    awk -v d="$dpi" '{ v[NR] = $1 } END {
      printf "first byte at the printer, later jobs, %d dpi A4, %d jobs: min %.1f ms, median %.1f ms, max %.1f ms\n",
        d, NR, v[1], v[int((NR + 1) / 2)], v[NR] }'
done

start=$EPOCHREALTIME
app_print "$lab" "$dir/doc20.out" p "$dir/doc20.pwg" image/pwg-raster
echo "20-page 600 dpi A4 job: $(app_job "$dir/doc20.out" job-state) in" \
  "$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.2f", e - s }') s," \
  "$(tail -n 1 "$dir/port.log" | awk '{ print $2 }') bytes of PCL; server VmHWM $(hwm "$pid")"
app_stop "$lab"
