#!/usr/bin/env bash
# Job mode: the scheduler runs the program with six job arguments and
# DEVICE_URI=<scheme>://<MAC>; the program finds the printer's address and
# becomes "$CUPS_SERVERBIN/backend/socket" (here fake_socket_backend, which
# records its argument vector and DEVICE_URI and exits with
# FAKE_SOCKET_STATUS). Three labs:
#   quick    (one after the other, each well under the budget)
#            found: hands over as soon as the printer answers the query
#              sent again after 1 s, argv[0] and DEVICE_URI socket://<ip>,
#              the other arguments byte for byte, the scheduler's status lines;
#            two replies with one MAC: the first to arrive wins, both ways;
#            an IPv4 literal: hands over without any discovery;
#   missing  no Tamo printer has the MAC (a Korvane one has): status 1 after
#            the whole budget with the query sent four times,
#            "Device not found with MAC:..." and an ERROR line;
#   lower    the MAC in lower case never matches: status 1;
#   avahi    Debian's avahi-daemon answers for the printer from a static
#            service file, and as a reflector it also relays the query to a
#            second daemon on another subnet behind it, which answers for a
#            printer at 10.91.0.1, and relays that answer back with TTL 255
#            from the link: the listing shows both printers, and a job
#            reaches each one's print port byte for byte through CUPS's real
#            socket backend.
# Needs root. Env: NETBACKEND, PRINTER_SIM, FAKE_SOCKET.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init job
[[ -x ${FAKE_SOCKET:-} ]] || { echo "e2e_job: FAKE_SOCKET must name fake_socket_backend" >&2; exit 1; }

full=$(e2e_marker full)
serverbin=$E2E_TMP/serverbin
mkdir -p "$serverbin/backend"
ln -s "$FAKE_SOCKET" "$serverbin/backend/socket"

# The job arguments as the scheduler passes them: job id, user, title,
# copies, options, file. Odd bytes on purpose; they must arrive unchanged.
job_args=(42 alice $'Quarterly "report" \xc3\xbc\tdraft' 2 '' '/var/spool/cups/d00042-001')

# job OUT LAB EXE URI: one job-mode run with the fake socket backend.
job() {
  local out=$1 lab=$2 exe=$3 uri=$4
  mkdir -p "$out"
  e2e_run "$out" "$lab" env TMPDIR="$full" DEVICE_URI="$uri" CUPS_SERVERBIN="$serverbin" \
    FAKE_SOCKET_RECORD="$out/record" FAKE_SOCKET_STATUS=3 "$exe" "${job_args[@]}"
}

# expect_handover OUT IP MAC: the fake backend ran with socket://IP as
# argv[0] and DEVICE_URI, and the job arguments unchanged; its status 3 is
# the program's, so the program was replaced, not merely forked.
expect_handover() {
  local out=$1 ip=$2 mac=$3 want i
  local what=${out##*/}
  e2e_expect_status "$out" 3
  e2e_expect_empty "$what: stdout" "$out/stdout"
  if [[ -n $mac ]]; then
    e2e_expect_bytes "$what: stderr" "$out/stderr" "STATE: +connecting-to-device
INFO: Looking for printer $mac on the local network
INFO: Printer $mac found at $ip
STATE: -connecting-to-device
"
  else
    e2e_expect_empty "$what: stderr" "$out/stderr"
  fi
  want="argc=7"$'\n'"argv[0]=socket://$ip"$'\n'
  for ((i = 0; i < ${#job_args[@]}; i++)); do
    want+="argv[$((i + 1))]=${job_args[i]}"$'\n'
  done
  want+="DEVICE_URI=socket://$ip"$'\n'
  if [[ -f $out/record ]]; then
    e2e_expect_bytes "$what: what the socket backend received" "$out/record" "$want"
  else
    e2e_fail "$what: the socket backend did not run"
  fi
  local main
  main=$(e2e_trace_lines "$out/trace" src/netbackend main)
  if [[ -n $mac ]]; then
    e2e_expect_eq "$what: main's trace" "$main" "discovered ip $ip for $mac
Executing backend $serverbin/backend/socket with URI: socket://$ip"
  else
    e2e_expect_eq "$what: main's trace" "$main" \
      "Executing backend $serverbin/backend/socket with URI: socket://$ip"
  fi
}

# expect_not_found OUT TARGET: status 1 after the whole budget, nothing run.
expect_not_found() {
  local out=$1 target=$2
  local what=${out##*/}
  e2e_expect_status "$out" 1
  e2e_expect_between "$what: seconds until exit" "$(cat "$out/elapsed")" 14 20
  e2e_expect_empty "$what: stdout" "$out/stdout"
  e2e_expect_bytes "$what: stderr" "$out/stderr" "STATE: +connecting-to-device
INFO: Looking for printer $target on the local network
STATE: -connecting-to-device
ERROR: Printer $target did not answer within 15 seconds
"
  [[ ! -e $out/record ]] || e2e_fail "$what: the socket backend ran: $(cat "$out/record")"
  # A job asks again while its printer has not answered.
  e2e_expect_eq "$what: discover's trace" "$(e2e_trace_lines "$out/trace" src/kvt discover)" \
    "begin
query again after 1 s: ret=1
query again after 3 s: ret=1
query again after 7 s: ret=1
end"
  e2e_expect_eq "$what: main's trace" "$(e2e_trace_lines "$out/trace" src/netbackend main)" \
    "Device not found with MAC:$target"
}

out=$E2E_TMP/out

# --- the two labs that wait out the budget, in the background ---
lab_m=jobm$$
netlab_up "$lab_m"
netlab_add_printer_ip "$lab_m" 10.77.0.3
netlab_sim "$lab_m" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:A;' \
  --printer --macuaa C0FFEE000001 --ip 10.77.0.3 --vidpid 5A210001 --device-id 'MFG:Tamo;MDL:K;'
exe_m=$(e2e_exe tamo m)
e2e_run_bg "$out/missing" "$lab_m" env TMPDIR="$full" DEVICE_URI=tamo://03FF77000080 \
  CUPS_SERVERBIN="$serverbin" FAKE_SOCKET_RECORD="$out/missing/record" "$exe_m" "${job_args[@]}"

lab_l=jobl$$
netlab_up "$lab_l"
netlab_sim "$lab_l" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:A;'
exe_l=$(e2e_exe tamo l)
e2e_run_bg "$out/lower" "$lab_l" env TMPDIR="$full" DEVICE_URI=tamo://80c4a2e691d5 \
  CUPS_SERVERBIN="$serverbin" FAKE_SOCKET_RECORD="$out/lower/record" "$exe_l" "${job_args[@]}"

# --- avahi: responders nobody here wrote, in the background ---
# Each runs in a mount namespace of its own, over a private /run and
# services directory, with no D-Bus, on the lab's links only; raw print
# listeners stand for the printers' port 9100. The one on the printer side
# answers for its printer and, as a reflector, relays the query to the far
# namespace behind it and the far daemon's answer back to the querier.
lab_a=joba$$
netlab_up "$lab_a"
netlab_add_far "$lab_a"
adir=$E2E_TMP/avahi

# avahi_start SIDE IFACES IP MACUAA MODEL [CONF]: avahi-daemon in the lab's
# namespace SIDE on the interfaces IFACES, publishing a printer at IP, with
# CONF added to its configuration.
avahi_start() {
  local dir=$adir/$1
  mkdir -p "$dir/services"
  cat >"$dir/avahi.conf" <<EOF
[server]
host-name=printer-$1
use-ipv6=no
allow-interfaces=$2
enable-dbus=no
[publish]
publish-workstation=no
publish-hinfo=no
${6:-}
EOF
  cat >"$dir/services/printer.service" <<EOF
<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>Tamo-$5</name>
  <service>
    <type>_host-config._udp</type>
    <port>9100</port>
    <txt-record>IPADDRESS=$3</txt-record>
    <txt-record>MACUAA=$4</txt-record>
    <txt-record>1284STRID="MFG:Tamo;MDL:$5;"</txt-record>
    <txt-record>PRINTERVIDPID=2E970042</txt-record>
  </service>
</service-group>
EOF
  ip netns exec "$lab_a-$1" unshare -m --propagation private sh -c \
    'mount --bind "$1/services" /etc/avahi/services && mount -t tmpfs tmpfs /run &&
     exec avahi-daemon -f "$1/avahi.conf" --no-drop-root --no-chroot --no-rlimits' \
    avahi "$dir" </dev/null >"$dir/log" 2>&1 &
}
avahi_start p "$(netlab_ifname "$lab_a" p 0),$(netlab_ifname "$lab_a" r 0)" 10.77.0.2 \
  0123456789AB Avahi $'[reflector]\nenable-reflector=yes'
avahi_start f "$(netlab_ifname "$lab_a" f 0)" 10.91.0.1 C0FFEE0000AB Far
for side in p f; do
  for ((i = 0; i < 100; i++)); do
    grep -q 'successfully established' "$adir/$side/log" && break
    sleep 0.1
  done
  grep -q 'successfully established' "$adir/$side/log" || {
    cat "$adir/$side/log" >&2
    e2e_fail "avahi: avahi-daemon in $side did not publish its printer within 10 s"
  }
done
netlab_sim "$lab_a" --no-mdns --jobs-dir "$adir/jobs"
NETLAB_SIM_SIDE=f netlab_sim "$lab_a" --no-mdns --jobs-dir "$adir/jobs"
head -c 4096 /dev/urandom >"$adir/job.bin"
exe_al=$(e2e_exe tamo al)
e2e_run_bg "$out/avahi-list" "$lab_a" env TMPDIR="$full" "$exe_al"
# Descriptors 3 and 4 are the scheduler's back and side channels to a
# backend: none here (a test runner's stray descriptor 3 would make the
# socket backend take the job file for its side channel).
for job in near:80C4A2E691D5 far:03FF770000D5; do
  e2e_run_bg "$out/avahi-${job%:*}" "$lab_a" env TMPDIR="$full" DEVICE_URI="tamo://${job#*:}" \
    CUPS_SERVERBIN=/usr/lib/cups "$(e2e_exe tamo "a${job%:*}")" 9 carol avahi 1 '' "$adir/job.bin" \
    3<&- 4<&-
done

# --- the quick cases, one after the other in a third lab ---
lab_q=jobq$$
netlab_up "$lab_q"
netlab_add_printer_ip "$lab_q" 10.77.0.3
netlab_add_printer_ip "$lab_q" 10.77.0.4

# found: two other printers answer first; the target misses the first query
# and answers the one the program sends again after 1 s.
netlab_sim "$lab_q" \
  --printer --macuaa C0FFEE000001 --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:O;' \
  --printer --macuaa C0FFEE000002 --ip 10.77.0.4 --vidpid 5A210001 --device-id 'MFG:K;MDL:K;' \
  --printer --macuaa 0123456789AB --ip 10.77.0.3 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:T;' \
  --ignore 1
exe=$(e2e_exe tamo found)
job "$out/found" "$lab_q" "$exe" tamo://80C4A2E691D5
e2e_take_trace "$out/found" "$exe"
expect_handover "$out/found" 10.77.0.3 80C4A2E691D5
e2e_expect_between "found: seconds until the hand-over" "$(cat "$out/found/elapsed")" 0.9 4
e2e_expect_eq "found: discover's trace" "$(e2e_trace_lines "$out/found/trace" src/kvt discover)" \
  $'begin\nquery again after 1 s: ret=1\nend'
netlab_sim_stop "$lab_q" || e2e_fail "printer_sim did not stop cleanly"

# Two replies with one MAC, 300 ms apart: the one that arrives first wins,
# whichever of the two is configured first.
for order in "10.77.0.2 300 10.77.0.4 0 10.77.0.4" "10.77.0.2 0 10.77.0.4 300 10.77.0.2"; do
  read -r ip1 d1 ip2 d2 winner <<<"$order"
  netlab_sim "$lab_q" \
    --printer --macuaa D00D00000001 --ip "$ip1" --delay-ms "$d1" --vidpid 2E970001 \
    --device-id 'MFG:Tamo;MDL:D;' \
    --printer --macuaa D00D00000001 --ip "$ip2" --delay-ms "$d2" --vidpid 2E970001 \
    --device-id 'MFG:Tamo;MDL:D;'
  exe=$(e2e_exe tamo "dup-$winner")
  job "$out/dup-$winner" "$lab_q" "$exe" tamo://0BB000000080
  e2e_take_trace "$out/dup-$winner" "$exe"
  expect_handover "$out/dup-$winner" "$winner" 0BB000000080
  netlab_sim_stop "$lab_q" || e2e_fail "printer_sim did not stop cleanly"
done

# An IPv4 literal: no discovery at all (no "begin" from discover).
exe=$(e2e_exe tamo literal)
job "$out/literal" "$lab_q" "$exe" tamo://10.77.0.9
e2e_take_trace "$out/literal" "$exe"
expect_handover "$out/literal" 10.77.0.9 ""
e2e_expect_between "literal: seconds until the hand-over" "$(cat "$out/literal/elapsed")" 0 2
e2e_expect_eq "literal: discover's trace" "$(e2e_trace_lines "$out/literal/trace" src/kvt discover)" ""

e2e_wait_all
e2e_take_trace "$out/missing" "$exe_m"
e2e_take_trace "$out/lower" "$exe_l"
expect_not_found "$out/missing" 03FF77000080
expect_not_found "$out/lower" 80c4a2e691d5

e2e_expect_bytes "avahi: the listing" "$out/avahi-list/stdout" "$(
  e2e_line "$(basename "$exe_al")" 80C4A2E691D5 'MFG:Tamo;MDL:Avahi;' Tamo 1 10.77.0.2
  e2e_line "$(basename "$exe_al")" 03FF770000D5 'MFG:Tamo;MDL:Far;' Tamo 2 10.91.0.1)"$'\n'
for job in near:10.77.0.2 far:10.91.0.1; do
  e2e_expect_status "$out/avahi-${job%:*}" 0
  for ((i = 0; i < 100; i++)); do
    [[ -e $adir/jobs/${job#*:}-1.bin ]] && break
    sleep 0.1
  done
  cmp -s "$adir/job.bin" "$adir/jobs/${job#*:}-1.bin" || e2e_fail "avahi-${job%:*}: the job did not" \
    "reach the printer intact: $(ls "$adir/jobs"; cat "$out/avahi-${job%:*}/stderr")"
done

e2e_finish
