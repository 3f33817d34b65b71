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
#               Goal: 50 ms for a later job. Then the same to a printer
#               that speaks PJL and answers its echo: the first byte of the
#               document, after the PJL frame's start.
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
# At 10.77.0.3 a printer that speaks PJL: the listener answers its echo.
netlab_add_printer_ip "$lab" 10.77.0.3
netlab_sim "$lab" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970042 \
  --device-id 'MFG:Tamo;MDL:T1;CMD:PCL;' --printer --macuaa 0123456789AC --ip 10.77.0.3 \
  --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;CMD:PJL,PCL;'
cat >"$dir/port.py" <<'EOF'
import re, socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", 9100))
s.listen(8)
print("ready", flush=True)
while True:
    c, _ = s.accept()
    data = c.recv(65536)
    # A PJL frame's start ends with the echo, which is answered; the
    # document's first byte is what follows it.
    if data.startswith(b"\x1b%-12345X"):
        while not re.search(rb"@PJL ECHO [^\r\n]*\r?\n", data):
            data += c.recv(65536)
        m = re.search(rb"@PJL ECHO ([^\r\n]*)\r?\n", data)
        c.sendall(b"@PJL ECHO " + m.group(1) + b"\r\n\x0c")
        data = data[m.end():] or c.recv(65536)
    first = time.time()
    size = len(data)
    tail = b""
    while data:
        # The job's end is answered as the printer printed it.
        tail = (tail + data)[-512:]
        m = re.search(rb'@PJL EOJ NAME="([^"]*)"', tail)
        if m:
            c.sendall(b'@PJL USTATUS JOB\r\nEND\r\nNAME="' + m.group(1) + b'"\r\nPAGES=1\r\n\x0c')
            tail = b""
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
app_add "$lab" pjl tamo://80C4A2E69135 pcl
app_document "$dir/doc1.ps" 1
app_document "$dir/doc20.ps" 20
for dpi in 300 600; do app_raster "$dir/doc1.ps" "$dir/page-$dpi.pwg" pwg "$dpi" a4; done
app_raster "$dir/doc20.ps" "$dir/doc20.pwg" pwg 600 a4

# first_byte FILE [PRINTER]: milliseconds from the Print-Job to the first
# byte of the document at the printer.
first_byte() {
  local lines start
  lines=$(grep -c . "$dir/port.log")
  start=$EPOCHREALTIME
  app_print "$lab" "$dir/job.out" "${2:-p}" "$1" image/pwg-raster >/dev/null
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
for run in "300 p" "600 p" "300 pjl"; do
  read -r dpi printer <<<"$run"
  for ((r = 0; r < RUNS; r++)); do first_byte "$dir/page-$dpi.pwg" "$printer"; done | sort -n |
    awk -v d="$dpi" -v p="$printer" '{ v[NR] = $1 } END {
      printf "first byte at the printer, later jobs, %d dpi A4, printer %s, %d jobs: min %.1f ms, median %.1f ms, max %.1f ms\n",
        d, p, NR, v[1], v[int((NR + 1) / 2)], v[NR] }'
done

start=$EPOCHREALTIME
app_print "$lab" "$dir/doc20.out" p "$dir/doc20.pwg" image/pwg-raster
echo "20-page 600 dpi A4 job: $(app_job "$dir/doc20.out" job-state) in" \
  "$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.2f", e - s }') s," \
  "$(tail -n 1 "$dir/port.log" | awk '{ print $2 }') bytes of PCL; server VmHWM $(hwm "$pid")"
app_stop "$lab"
