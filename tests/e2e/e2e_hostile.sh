#!/usr/bin/env bash
# Anything on the network can answer the query. Three labs at once, each a
# 15-second run or two:
#   far     a host two hops away (behind the printer side, which routes)
#           sprays a reply at every port the host's namespace hands out:
#           it is dropped unread, so it is neither listed nor given the job
#           that names its MAC; the on-link printer is listed;
#   forged  replies naming the queue's MAC with addresses that are no
#           printer (a port, a path, a user part, a name, loopback,
#           multicast, a newline) are passed over, and so is a relay's
#           answer for a printer elsewhere sent with TTL 64; the job goes to
#           the first usable address, the same relay's answer with TTL 255,
#           which no router can have forwarded; a MAC that only
#           forged replies name (to all four queries) fails with an ERROR
#           line saying so; the
#           listing shows neither, and the trace escapes what they sent;
#   flood   4,000 datagrams a second, half of them names of 500 labels
#           behind pointers, half valid replies: the listing still ends
#           within 15.5 s, keeps 4096 records and stays under 16 MiB.
# Needs root. Env: NETBACKEND, PRINTER_SIM, FAKE_SOCKET, SANITIZED (1 for a
# sanitizer build: no memory bound then).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init hostile
TIME=$(command -v time || true)
[[ -x /usr/bin/time ]] && TIME=/usr/bin/time
[[ -x $TIME ]] || { echo "e2e_hostile: GNU time is needed for the peak RSS" >&2; exit 1; }

full=$(e2e_marker full)
serverbin=$E2E_TMP/serverbin
mkdir -p "$serverbin/backend"
ln -s "$FAKE_SOCKET" "$serverbin/backend/socket"
out=$E2E_TMP/out
job_args=(7 bob title 1 '' /dev/null)

# job_bg RUN LAB EXE URI: a job run in the background, with the recording
# stand-in for the socket backend (which exits 3, so that a hand-over shows).
job_bg() {
  e2e_run_bg "$out/$1" "$2" env TMPDIR="$full" DEVICE_URI="$4" CUPS_SERVERBIN="$serverbin" \
    FAKE_SOCKET_RECORD="$out/$1/record" FAKE_SOCKET_STATUS=3 "$3" "${job_args[@]}"
}

# --- far: a sender beyond a router ---
lab_f=hosf$$
netlab_up "$lab_f"
netlab_add_far "$lab_f"
# The host's namespace hands out eleven ports only; the far host tries each.
netlab_run_host "$lab_f" sysctl -q -w net.ipv4.ip_local_port_range="40000 40010"
netlab_sim "$lab_f" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 \
  --device-id 'MFG:Tamo;MDL:Near;'
NETLAB_SIM_SIDE=f netlab_sim "$lab_f" --spray 10.77.0.1:40000-40010 \
  --printer --macuaa C0FFEE0000FF --ip 10.91.0.1 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:Far;'
exe_fl=$(e2e_exe gprinter fl)
exe_fj=$(e2e_exe tamo fj)
e2e_run_bg "$out/far-list" "$lab_f" env TMPDIR="$full" "$exe_fl"
job_bg far-job "$lab_f" "$exe_fj" tamo://03FF770000FF

# --- forged: addresses that are no printer ---
lab_g=hosg$$
netlab_up "$lab_g"
sim=()
for ip in 127.0.0.1:631 printer.attacker.example u:p@10.88.0.3:9100 \
  '10.88.0.3:2222/?waiteof=false' $'10.77.0.9\nX' 127.0.0.1 224.0.0.251 0.0.0.0 ''; do
  sim+=(--printer --macuaa 0123456789AB --ip "$ip" --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:F;')
  sim+=(--printer --macuaa C0FFEE0000EE --ip "$ip" --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:E;')
done
# A relay on the link speaks for a printer on another segment: with TTL 64
# its datagram may have crossed a router, and is passed over; with 255 it
# cannot have, and the job goes there.
sim+=(--printer --macuaa 0123456789AB --ip 10.92.0.6 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:R;'
  --delay-ms 300)
sim+=(--printer --macuaa 0123456789AB --ip 10.92.0.5 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:R;'
  --delay-ms 500 --ttl 255)
netlab_sim "$lab_g" "${sim[@]}"
exe_gl=$(e2e_exe gprinter gl)
exe_gj=$(e2e_exe tamo gj)
exe_ge=$(e2e_exe tamo ge)
e2e_run_bg "$out/forged-list" "$lab_g" env TMPDIR="$full" "$exe_gl"
job_bg forged-none "$lab_g" "$exe_ge" tamo://03FF77000077

# --- flood ---
lab_x=hosx$$
netlab_up "$lab_x"
netlab_sim "$lab_x" --quiet --junk deep-names --flood 4000 --flood-seconds 20 \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:X;'
exe_x=$(e2e_exe gprinter x)
e2e_run_bg "$out/flood" "$lab_x" "$TIME" -f '%e %M' -o "$E2E_TMP/flood.time" "$exe_x"

# The job in the forged lab goes at once; the rest wait out their budget.
job_bg forged-job "$lab_g" "$exe_gj" tamo://80C4A2E691D5
e2e_wait_all
for r in far-list:$exe_fl far-job:$exe_fj forged-list:$exe_gl forged-job:$exe_gj \
  forged-none:$exe_ge; do
  e2e_take_trace "$out/${r%%:*}" "${r#*:}"
done

# far
e2e_expect_full_run "$out/far-list"
e2e_expect_bytes "far-list: stdout" "$out/far-list/stdout" \
  "$(e2e_line "$(basename "$exe_fl")" 80C4A2E691D5 'MFG:Tamo;MDL:Near;' Tamo 1 10.77.0.2)"$'\n'
for r in far-list far-job; do
  grep -q "| dropped [0-9]* bytes from 10.91.0.1 (TTL [0-9]*): sender not on the link it arrived on \[" \
    "$out/$r/trace" || e2e_fail "$r: no trace line dropping the far sender's reply"
done
e2e_expect_status "$out/far-job" 1
[[ ! -e $out/far-job/record ]] || e2e_fail "far-job: handed over: $(cat "$out/far-job/record")"

# forged
e2e_expect_status "$out/forged-job" 3
e2e_expect_eq "forged-job: what the socket backend got" \
  "$(grep -aE '^(argv\[0\]|DEVICE_URI)=' "$out/forged-job/record" 2>/dev/null)" \
  $'argv[0]=socket://10.92.0.5\nDEVICE_URI=socket://10.92.0.5'
e2e_expect_eq "forged-job: replies passed over" \
  "$(grep -c '| reply for 80C4A2E691D5 passed over: IP ' "$out/forged-job/trace")" 10
grep -qF '| reply for 80C4A2E691D5 passed over: IP "10.92.0.6" is not an address a job can be sent to (address beyond the link from a routed sender) [' \
  "$out/forged-job/trace" || e2e_fail "forged-job: the relay's TTL-64 reply was not passed over"
grep -qF '| reply for 80C4A2E691D5 passed over: IP "10.77.0.9\x0AX" is not an address' \
  "$out/forged-job/trace" || e2e_fail "forged-job: the newline is not escaped in the trace"
e2e_expect_status "$out/forged-none" 1
e2e_expect_eq "forged-none: the last status line" "$(tail -n 1 "$out/forged-none/stderr")" \
  "ERROR: Printer 03FF77000077 did not answer within 15 seconds with an address a job can be sent to (36 replies for it gave an unusable address)"
e2e_expect_full_run "$out/forged-list"
e2e_expect_bytes "forged-list: stdout" "$out/forged-list/stdout" \
  "$(e2e_line "$(basename "$exe_gl")" 80C4A2E691D5 'MFG:Tamo;MDL:R;' Tamo 1 10.92.0.5)"$'\n'
for r in forged-list forged-job forged-none; do
  # The newline an address held did not start a line of its own.
  e2e_expect_eq "$r: trace lines forged by an address" "$(grep -c '^X' "$out/$r/trace")" 0
done

# flood
# The program's own wall-clock time and peak memory, as GNU time saw them.
read -r seconds rss < <(tail -n 1 "$E2E_TMP/flood.time")
e2e_expect_status "$out/flood" 0
e2e_expect_between "flood: seconds until exit" "$seconds" 14 15.5
e2e_expect_eq "flood: device lines" "$(wc -l <"$out/flood/stdout")" 4096
# The sanitizers' shadow memory alone is larger than the bound.
[[ ${SANITIZED:-0} == 1 ]] || e2e_expect_between "flood: peak RSS in KiB" "$rss" 1 16383
echo "flood: $seconds s, peak RSS $rss KiB, $(wc -l <"$out/flood/stdout") lines"

e2e_finish
