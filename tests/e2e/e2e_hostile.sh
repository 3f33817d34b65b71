#!/usr/bin/env bash
# Anything on the network, or on the host, can answer the query. Eight labs
# at once, each a 15-second run or a few:
#   far     a host two hops away (behind the printer side, which routes)
#           sprays a reply at every port the host's namespace hands out:
#           from its own address it is dropped unread; forged from a
#           neighbour's address it is read, but its far address is passed
#           over (TTL 63: routed); forged from the link's broadcast address
#           it is dropped unread; so it is neither listed nor given the job
#           that names its MAC; the on-link printer is listed;
#   forged  replies naming the queue's MAC with addresses that are no
#           printer (a port, a path, a user part, a name, loopback,
#           multicast, a newline) are passed over, and so is a relay's
#           answer for a printer elsewhere sent with TTL 64; the job goes to
#           the first usable address, the same relay's answer with TTL 255,
#           which no router can have forwarded; a MAC that only forged
#           replies name (to all four queries) fails with an ERROR line
#           saying so; the listing shows neither, and the trace escapes what
#           they sent;
#   flood   4,000 datagrams a second, half of them names of 500 labels
#           behind pointers, half valid replies: the listing still ends
#           within 15.5 s, keeps 4096 records and stays under 16 MiB;
#   probe   netbackend-probe under a flood of one valid reply: it ends
#           within 15.5 s under 16 MiB, shows 4096 rows and counts the
#           replies beyond them;
#   local   a user without privileges on the host sprays replies naming the
#           queue's MAC with the host's own address, to 127.0.0.1 and to the
#           host's LAN address: dropped unread as arrived on loopback, and as
#           sent from this host (the system gives the LAN address's link as
#           where they arrived); five jobs at once all go to the real printer;
#   links   seven links, the printer's last in the system's order and
#           re-plugged (a new interface index): the query leaves by all
#           seven, the printer is listed and given the job, and its answers
#           over the six other links, from its address on the first, are
#           dropped as from a sender not on the link they arrived on;
#   route, noroute  a printer at the link-local 169.254.7.7: listed and
#           given the job on a host with "169.254.0.0/16 dev <link> scope
#           link"; dropped unread, and the job fails, on one without it.
# Needs root. Env: NETBACKEND, PRINTER_SIM, FAKE_SOCKET, PROBE, SANITIZED (1
# for a sanitizer build: no memory bound then).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init hostile
TIME=$(command -v time || true)
[[ -x /usr/bin/time ]] && TIME=/usr/bin/time
[[ -x $TIME ]] || { echo "e2e_hostile: GNU time is needed for the peak RSS" >&2; exit 1; }
[[ -x ${PROBE:-} ]] || { echo "e2e_hostile: PROBE must name netbackend-probe" >&2; exit 1; }

full=$(e2e_marker full)
serverbin=$E2E_TMP/serverbin
mkdir -p "$serverbin/backend"
ln -s "$FAKE_SOCKET" "$serverbin/backend/socket"
out=$E2E_TMP/out
job_args=(7 bob title 1 '' /dev/null)
declare -A exe=()  # run -> the program file it ran

# list_bg RUN LAB: a listing under a name for every printer, in the
# background, traced.
list_bg() {
  exe[$1]=$(e2e_exe gprinter "$1")
  e2e_run_bg "$out/$1" "$2" env TMPDIR="$full" "${exe[$1]}"
}

# job_bg RUN LAB URI: a job run in the background, traced, with the
# recording stand-in for the socket backend (which exits 3, so that a
# hand-over shows).
job_bg() {
  exe[$1]=$(e2e_exe tamo "$1")
  e2e_run_bg "$out/$1" "$2" env TMPDIR="$full" DEVICE_URI="$3" CUPS_SERVERBIN="$serverbin" \
    FAKE_SOCKET_RECORD="$out/$1/record" FAKE_SOCKET_STATUS=3 "${exe[$1]}" "${job_args[@]}"
}

# tamo_sim LAB MAC IP MODEL [OPTION...]: netlab_sim with one Tamo printer,
# and the simulator's further OPTIONs.
tamo_sim() {
  netlab_sim "$1" --printer --macuaa "$2" --ip "$3" --vidpid 2E970001 \
    --device-id "MFG:Tamo;MDL:$4;" "${@:5}"
}

# timed_bg RUN LAB CMD...: CMD in the background under GNU time, which
# records its wall-clock seconds and peak RSS.
timed_bg() {
  e2e_run_bg "$out/$1" "$2" "$TIME" -f '%e %M' -o "$out/$1.time" "${@:3}"
}

# --- far: a sender beyond a router ---
lab_f=hosf$$
netlab_up "$lab_f"
netlab_add_far "$lab_f"
# The host's namespace hands out eleven ports only; the far host tries each.
netlab_run_host "$lab_f" sysctl -q -w net.ipv4.ip_local_port_range="40000 40010"
tamo_sim "$lab_f" 0123456789AB 10.77.0.2 Near
# From its own address, and forged from a neighbour's and from the link's
# broadcast address.
for src in "" 10.77.0.5 10.77.0.255; do
  NETLAB_SIM_SIDE=f tamo_sim "$lab_f" C0FFEE0000FF 10.91.0.1 Far --spray 10.77.0.1:40000-40010 \
    ${src:+--spoof-source "$src"}
done
list_bg far-list "$lab_f"
job_bg far-job "$lab_f" tamo://03FF770000FF

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
list_bg forged-list "$lab_g"
job_bg forged-none "$lab_g" tamo://03FF77000077

# --- flood, and probe: the simulator floods the first querier only ---
lab_x=hosx$$
netlab_up "$lab_x"
tamo_sim "$lab_x" 0123456789AB 10.77.0.2 X --quiet --junk deep-names --flood 4000 --flood-seconds 20
timed_bg flood "$lab_x" "$(e2e_exe gprinter flood)"
lab_p=hosp$$
netlab_up "$lab_p"
tamo_sim "$lab_p" 0123456789AB 10.77.0.2 P --quiet --flood 4000 --flood-seconds 20
timed_bg probe "$lab_p" "$PROBE" --seconds 15 --json --name gprinter

# --- local: another user of the host answers for the printer ---
lab_l=hosl$$
netlab_up "$lab_l"
netlab_run_host "$lab_l" sysctl -q -w net.ipv4.ip_local_port_range="40000 40010"
# The printer answers a second after each query, while the sprays go on.
tamo_sim "$lab_l" 0123456789AB 10.77.0.2 L --delay-ms 1000
# The sprayers answer no query, so what the traces show was sprayed.
for to in 127.0.0.1 10.77.0.1; do
  NETLAB_SIM_SIDE=h NETLAB_SIM_USER=nobody tamo_sim "$lab_l" 0123456789AB 10.77.0.1 L \
    --ignore 1000 --spray "$to:40000-40010"
done
for n in 1 2 3 4 5; do job_bg "local-$n" "$lab_l" tamo://80C4A2E691D5; done

# --- links: the printer's link last of seven, and re-plugged ---
# Six more links lead to the printer's namespace; it answers the query
# over each from its address on the first.
lab_i=hosi$$
netlab_up "$lab_i"
netlab_add_host_ifaces "$lab_i" 6
netlab_replug "$lab_i"
tamo_sim "$lab_i" 0123456789AB 10.77.0.2 I
list_bg links "$lab_i"
job_bg links-job "$lab_i" tamo://80C4A2E691D5

# --- route, noroute: a printer at a link-local address ---
lab_r=hosr$$
lab_n=hosn$$
for lab in "$lab_r" "$lab_n"; do
  netlab_up "$lab"
  netlab_add_printer_ip "$lab" 169.254.7.7
  tamo_sim "$lab" 0123456789AB 169.254.7.7 K
done
netlab_run_host "$lab_r" ip route add 169.254.0.0/16 dev "$(netlab_ifname "$lab_r" h 0)" scope link
list_bg route "$lab_r"
job_bg route-job "$lab_r" tamo://80C4A2E691D5
list_bg noroute "$lab_n"
job_bg noroute-job "$lab_n" tamo://80C4A2E691D5

# The forged lab's job goes at once, as do those of local, links and
# route; the rest wait out their budget.
job_bg forged-job "$lab_g" tamo://80C4A2E691D5
e2e_wait_all
for r in "${!exe[@]}"; do
  e2e_take_trace "$out/$r" "${exe[$r]}"
done

# expect_listed RUN [MAC MODEL IP]: a listing that waited out its budget
# and listed the Tamo printer MAC (MDL:MODEL) at IP, or nothing.
expect_listed() {
  local want=""
  (($# == 1)) || want=$(e2e_line "$(basename "${exe[$1]}")" "$2" "MFG:Tamo;MDL:$3;" Tamo 1 "$4")$'\n'
  e2e_expect_full_run "$out/$1"
  e2e_expect_bytes "$1: stdout" "$out/$1/stdout" "$want"
}

# expect_sent RUN [IP]: the job was handed over to socket://IP; without IP,
# it ended with status 1 and nothing was handed over.
expect_sent() {
  if (($# == 1)); then
    e2e_expect_status "$out/$1" 1
    [[ ! -e $out/$1/record ]] || e2e_fail "$1: handed over: $(cat "$out/$1/record")"
    return 0
  fi
  e2e_expect_status "$out/$1" 3
  e2e_expect_eq "$1: what the socket backend got" \
    "$(grep -aE '^(argv\[0\]|DEVICE_URI)=' "$out/$1/record" 2>/dev/null)" \
    "argv[0]=socket://$2"$'\n'"DEVICE_URI=socket://$2"
}

# expect_trace RUN PATTERN...: RUN's trace has a line matching each PATTERN
# (grep's basic syntax).
expect_trace() {
  local r=$1 pattern
  for pattern in "${@:2}"; do
    grep -q -- "$pattern" "$out/$r/trace" 2>/dev/null || e2e_fail "$r: no trace line '$pattern'"
  done
}

# expect_bounded RUN: RUN ended by itself within 15.5 s and, but in a
# sanitizer build (whose shadow memory alone is larger), under 16 MiB, as
# GNU time saw it.
expect_bounded() {
  local seconds rss
  read -r seconds rss < <(tail -n 1 "$out/$1.time")
  e2e_expect_status "$out/$1" 0
  e2e_expect_between "$1: seconds until exit" "$seconds" 14 15.5
  [[ ${SANITIZED:-0} == 1 ]] || e2e_expect_between "$1: peak RSS in KiB" "$rss" 1 16383
  echo "$1: $seconds s, peak RSS $rss KiB"
}

# far
expect_listed far-list 80C4A2E691D5 Near 10.77.0.2
expect_sent far-job
for r in far-list far-job; do
  expect_trace "$r" \
    '| dropped [0-9]* bytes from 10\.91\.0\.1 (TTL [0-9]*): sender not on the link it arrived on \[' \
    '| dropped [0-9]* bytes from 10\.77\.0\.255 (TTL 63): sent from a network or broadcast address \['
done
expect_trace far-list \
  '| reply from 10\.77\.0\.5 (TTL 63) not used: address beyond the link from a routed sender (MAC "03FF770000FF", IP "10\.91\.0\.1") \['
expect_trace far-job \
  '| reply for 03FF770000FF passed over: IP "10\.91\.0\.1" is not an address a job can be sent to (address beyond the link from a routed sender) \['

# forged
expect_sent forged-job 10.92.0.5
e2e_expect_eq "forged-job: replies passed over" \
  "$(grep -c '| reply for 80C4A2E691D5 passed over: IP ' "$out/forged-job/trace")" 10
# The relay's TTL-64 reply, and the newline escaped.
expect_trace forged-job \
  '| reply for 80C4A2E691D5 passed over: IP "10\.92\.0\.6" is not an address a job can be sent to (address beyond the link from a routed sender) \[' \
  '| reply for 80C4A2E691D5 passed over: IP "10\.77\.0\.9\\x0AX" is not an address'
expect_sent forged-none
e2e_expect_eq "forged-none: the last status line" "$(tail -n 1 "$out/forged-none/stderr")" \
  "ERROR: Printer 03FF77000077 did not answer within 15 seconds with an address a job can be sent to (36 replies for it gave an unusable address)"
expect_listed forged-list 80C4A2E691D5 R 10.92.0.5
for r in forged-list forged-job forged-none; do
  # The newline an address held did not start a line of its own.
  e2e_expect_eq "$r: trace lines forged by an address" "$(grep -c '^X' "$out/$r/trace")" 0
done

# flood
expect_bounded flood
e2e_expect_eq "flood: device lines" "$(wc -l <"$out/flood/stdout")" 4096

# probe: a row per record up to the backend's 4096, then the summary, which
# counts the replies that came after.
expect_bounded probe
e2e_expect_eq "probe: rows, then the summary" \
  "$(grep -c '^{"row":' "$out/probe/stdout") $(wc -l <"$out/probe/stdout") $(tail -n 1 "$out/probe/stdout" | cut -c1-11)" \
  '4096 4097 {"summary":'
read -r replies rows < <(sed -n 's/.*"replies":\([0-9]*\),"rows":\([0-9]*\),.*/\1 \2/p' "$out/probe/stdout")
((${replies:-0} > ${rows:-0})) ||
  e2e_fail "probe: the summary counts ${replies:-no} replies for ${rows:-no} rows; the flood sent more"

# local
for n in 1 2 3 4 5; do
  expect_sent "local-$n" 10.77.0.2
  expect_trace "local-$n" \
    '| dropped [0-9]* bytes from 127\.0\.0\.1 (TTL [0-9]*): arrived on loopback \[' \
    '| dropped [0-9]* bytes from 10\.77\.0\.1 (TTL [0-9]*): sent from this host \['
done

# links
expect_listed links 80C4A2E691D5 I 10.77.0.2
expect_sent links-job 10.77.0.2
sent=$(e2e_trace_lines "$out/links/trace" src/connector SendQuery)
e2e_expect_eq "links: queries sent, and the last" "$(wc -l <<<"$sent"): $(tail -n 1 <<<"$sent")" \
  "7: query sent on $(netlab_ifname "$lab_i" h 0) (10.77.0.1)"
e2e_expect_eq "links: answers from a sender not on the link they came by" "$(grep -c \
  '| dropped [0-9]* bytes from 10\.77\.0\.2 (TTL 64): sender not on the link it arrived on \[' \
  "$out/links/trace")" 6

# route, noroute
expect_listed route 80C4A2E691D5 K 169.254.7.7
expect_sent route-job 169.254.7.7
expect_listed noroute
expect_sent noroute-job
expect_trace noroute \
  '| dropped [0-9]* bytes from 169\.254\.7\.7 (TTL 64): sender not on the link it arrived on \['

e2e_finish
