#!/usr/bin/env bash
# The query cannot be sent when the socket it leaves from cannot be bound.
# Another program in the host's namespace (here a python3 socket, without
# address reuse) holds UDP port 5353 and the only port the namespace hands
# out for port 0 (its ip_local_port_range narrowed to 40000-40000), so the
# bind fails whichever local port the program asks for. Then the program
# says so on stderr, writes the 'I' trace line with Broadcast's result,
# lists nothing, and does not wait out the budget:
#   listing          stderr "Broadcast: bind: Address already in use",
#                    status 0, empty stdout, "begin" but no "end" from
#                    discover, done in under 2 s;
#   listing, 'I'     with only 'I' lines enabled that line is the whole trace;
#   job              nothing found: status 1 at once, "Device not found",
#                    and the scheduler's status lines saying why.
# Needs root. Env: NETBACKEND, PRINTER_SIM (for the lab).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init bind_fail
PY=$(command -v python3) || { echo "e2e_bind_fail: python3 is needed to hold the port" >&2; exit 1; }

full=$(e2e_marker full)
varn=$(e2e_marker varn)
lab=bnd$$
netlab_up "$lab"
# A printer that would answer, were the query ever sent.
netlab_sim "$lab" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 \
  --device-id 'MFG:Tamo;MDL:A;'

# The port range is the lab's own (per namespace); the machine's is untouched.
netlab_run_host "$lab" sysctl -q -w net.ipv4.ip_local_port_range="40000 40000"
ready=$E2E_TMP/holder.ready
netlab_spawn_host "$lab" "$PY" -c '
import socket, sys, time
held = []
for port in (5353, 40000):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))  # no SO_REUSEADDR: nobody else may bind the port
    held.append(s)
open(sys.argv[1], "w").close()
time.sleep(120)
' "$ready" </dev/null >/dev/null 2>"$E2E_TMP/holder.err"
for ((i = 0; i < 50; i++)); do
  [[ -e $ready ]] && break
  sleep 0.1
done
[[ -e $ready ]] || { cat "$E2E_TMP/holder.err" >&2; echo "e2e_bind_fail: the port holder did not start" >&2; exit 1; }

out=$E2E_TMP/out
unable="unable to locate devices with result=-2"
inuse="Broadcast: bind: Address already in use"

exe=$(e2e_exe tamo list)
e2e_run "$out/list" "$lab" env TMPDIR="$full" "$exe"
e2e_take_trace "$out/list" "$exe"
e2e_expect_status "$out/list" 0
e2e_expect_empty "list: stdout" "$out/list/stdout"
e2e_expect_bytes "list: stderr" "$out/list/stderr" "$inuse"$'\n'
e2e_expect_between "list: seconds until exit" "$(cat "$out/list/elapsed")" 0 2
e2e_expect_eq "list: discover's trace" "$(e2e_trace_lines "$out/list/trace" src/kvt discover)" \
  "begin"$'\n'"$unable"

exe=$(e2e_exe tamo varn)
e2e_run "$out/varn" "$lab" env TMPDIR="$varn" "$exe"
e2e_take_trace "$out/varn" "$exe"
e2e_expect_status "$out/varn" 0
e2e_expect_empty "varn: stdout" "$out/varn/stdout"
e2e_expect_bytes "varn: stderr" "$out/varn/stderr" "$inuse"$'\n'
if [[ -f $out/varn/trace ]]; then
  e2e_expect_eq "varn: lines in the trace" "$(wc -l <"$out/varn/trace")" 1
  e2e_expect_eq "varn: the trace" "$(e2e_trace_lines "$out/varn/trace" src/kvt discover)" "$unable"
else
  e2e_fail "varn: no trace file"
fi

mkdir -p "$E2E_TMP/serverbin/backend"
exe=$(e2e_exe tamo job)
e2e_run "$out/job" "$lab" env TMPDIR="$full" DEVICE_URI=tamo://80C4A2E691D5 \
  CUPS_SERVERBIN="$E2E_TMP/serverbin" "$exe" 1 u t 1 '' /dev/null
e2e_take_trace "$out/job" "$exe"
e2e_expect_status "$out/job" 1
e2e_expect_empty "job: stdout" "$out/job/stdout"
e2e_expect_bytes "job: stderr" "$out/job/stderr" "STATE: +connecting-to-device
INFO: Looking for printer 80C4A2E691D5 on the local network
$inuse
STATE: -connecting-to-device
ERROR: Could not look for printer 80C4A2E691D5: no socket could be had for its replies
"
e2e_expect_between "job: seconds until exit" "$(cat "$out/job/elapsed")" 0 2
e2e_expect_eq "job: main's trace" "$(e2e_trace_lines "$out/job/trace" src/netbackend main)" \
  "Device not found with MAC:80C4A2E691D5"

e2e_finish
