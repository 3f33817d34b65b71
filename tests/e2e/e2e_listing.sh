#!/usr/bin/env bash
# The listing as the printing system sees it: the program, installed under a
# brand name, runs in a private lab against simulated printers and its
# standard output is compared byte for byte with the device lines expected.
#
# Four labs run at once (each listing waits out its 15-second budget):
#   tamo     brand filter (vendor ID, device ID, mDNS name, letter case),
#            make-and-model rule both ways, numbers in arrival order,
#            duplicates, control characters in fields written as blanks;
#   all      the "g" name lists every printer, an empty brand included;
#   stream   a line reaches stdout while the next printer is still silent;
#   sigterm  a line already accepted survives the scheduler's SIGTERM;
#   probe    netbackend-probe's verdicts under three names, and where a job
#            would go.
# Needs root. Env: NETBACKEND, PRINTER_SIM, PROBE.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init listing

full=$(e2e_marker full)

# --- tamo: who is listed under the Tamo brand, in which order and form ---
# Printers answer at different delays so that the arrival order is fixed;
# the comment above each says what it is there for.
lab_t=lstt$$
netlab_up "$lab_t"
for ip in 10.77.0.3 10.77.0.4 10.77.0.5 10.77.0.6; do netlab_add_printer_ip "$lab_t" "$ip"; done
hostile_id=$'MFG:Tamo;\nnetwork x://000000000000 "Forged" "Forged" "6.6.6.6"\tMDL:Evil\x01\x1f\x7f;'
sim=()
# Vendor ID Tamo, device ID holds "Tamo": make-and-model is the device ID.
sim+=(--printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970042 --mdns-name t100
  --device-id 'MFG:Tamo;CMD:PCL;MDL:Tamo T-100;')
# "tamo" in lower case and no vendor ID: the brand stays empty; dropped.
sim+=(--printer --macuaa 112233445566 --ip 10.77.0.3 --mdns-name lower --delay-ms 100
  --device-id 'MFG:tamo;MDL:lower;')
# Vendor ID Korvane: dropped.
sim+=(--printer --macuaa C0FFEE000001 --ip 10.77.0.4 --vidpid 5A210007 --mdns-name k1
  --delay-ms 200 --device-id 'MFG:Korvane;MDL:K1;')
# A ZALOR printer (its brand would come from the device ID under a z name): dropped.
sim+=(--printer --macuaa C0FFEE000002 --ip 10.77.0.5 --mdns-name z9 --delay-ms 300
  --device-id 'MFG:ZALOR;MDL:Z9;')
# Vendor ID Tamo, device ID without the word: "Tamo " + device ID. MACUAA in
# lower case still gives an upper-case MAC.
sim+=(--printer --macuaa a1b2c3d4e5f6 --ip 10.77.0.3 --vidpid 2E970001 --mdns-name office9
  --delay-ms 400 --device-id 'MFG:Acme;MDL:Office 9;')
# "Tamo" in the device ID, but the Korvane vendor ID that follows it has the
# last word: dropped.
sim+=(--printer --macuaa C0FFEE000003 --ip 10.77.0.6 --vidpid 5A210001 --mdns-name fake
  --delay-ms 500 --device-id 'MFG:Tamo;MDL:Fake;')
# No vendor ID, "Tamo" only in the mDNS name: listed as "Tamo " + device ID.
sim+=(--printer --macuaa 00AA11BB22CC --ip 10.77.0.4 --mdns-name Tamo-Lobby --delay-ms 600
  --device-id 'MFG:Generic;MDL:G1;')
# Answers twice: two lines with consecutive numbers.
sim+=(--printer --macuaa C0FFEE000004 --ip 10.77.0.5 --vidpid 2E970002 --mdns-name twice
  --delay-ms 800 --repeat 2 --interval-ms 300 --device-id 'MFG:Tamo;MDL:Twice;')
# Control characters and quotes in the device ID: blanks and escapes, no
# extra line and no extra field. (An address with them is no address: the
# printer would not be listed at all.)
sim+=(--printer --macuaa C0FFEE000005 --ip 10.77.0.6 --vidpid 2E970003 --mdns-name evil
  --delay-ms 1400 --device-id "$hostile_id")
netlab_sim "$lab_t" "${sim[@]}"
exe_t=$(e2e_exe tamo a)
n_t=$(basename "$exe_t")

# --- all: the "g" name lists every printer, whatever its brand ---
lab_g=lstg$$
netlab_up "$lab_g"
for ip in 10.77.0.3 10.77.0.4 10.77.0.5; do netlab_add_printer_ip "$lab_g" "$ip"; done
sim=()
# Brand from the vendor ID; make-and-model by the same rule as under any name.
sim+=(--printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970042 --mdns-name t1
  --device-id 'MFG:Tamo;MDL:T1;')
sim+=(--printer --macuaa C0FFEE000001 --ip 10.77.0.3 --vidpid 5A210007 --mdns-name k2
  --delay-ms 200 --device-id 'MFG:KORVANE;MDL:K2;')
sim+=(--printer --macuaa C0FFEE000002 --ip 10.77.0.4 --vidpid 5A210008 --mdns-name k3
  --delay-ms 400 --device-id 'MFG:Korvane;MDL:K3;')
# No vendor ID and no "Printer" anywhere: an empty brand, still listed.
sim+=(--printer --macuaa C0FFEE000003 --ip 10.77.0.5 --mdns-name z1 --delay-ms 600
  --device-id 'MFG:ZALOR;MDL:Z1;')
# "Printer" inside the device ID gives the brand "Printer".
sim+=(--printer --macuaa C0FFEE000006 --ip 10.77.0.2 --mdns-name acme5 --delay-ms 800
  --device-id 'MFG:Acme;MDL:LaserPrinter 5;')
# An unknown vendor ID empties the brand; the mDNS name after it fills it.
sim+=(--printer --macuaa C0FFEE000007 --ip 10.77.0.3 --vidpid 12340001 --mdns-name PrinterOther
  --delay-ms 1000 --device-id 'MFG:Acme;MDL:Other;')
# An unknown vendor ID and nothing else: an empty brand.
sim+=(--printer --macuaa C0FFEE000008 --ip 10.77.0.4 --vidpid 12340002 --mdns-name plain
  --delay-ms 1200 --device-id 'MFG:Acme;MDL:Plain;')
netlab_sim "$lab_g" "${sim[@]}"
exe_g=$(e2e_exe gprinter a)
n_g=$(basename "$exe_g")

# --- stream: printer A at once, printer B after 6 s ---
lab_s=lsts$$
netlab_up "$lab_s"
netlab_add_printer_ip "$lab_s" 10.77.0.3
netlab_sim "$lab_s" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --device-id 'MFG:Tamo;MDL:A;' --vidpid 2E970001 \
  --printer --macuaa C0FFEE000004 --ip 10.77.0.3 --device-id 'MFG:Tamo;MDL:B;' --vidpid 2E970001 \
  --delay-ms 6000
exe_s=$(e2e_exe tamo s)
n_s=$(basename "$exe_s")

# --- sigterm: the scheduler's timeout ends the listing after 3 s ---
lab_k=lstk$$
netlab_up "$lab_k"
netlab_sim "$lab_k" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --device-id 'MFG:Tamo;MDL:A;' --vidpid 2E970001
exe_k=$(e2e_exe tamo k)
n_k=$(basename "$exe_k")

# --- probe: what netbackend-probe says of three brands, a malformed
# datagram and a reply without a MAC address ---
lab_p=lstp$$
netlab_up "$lab_p"
for ip in 10.77.0.3 10.77.0.4; do netlab_add_printer_ip "$lab_p" "$ip"; done
netlab_sim "$lab_p" --junk label-c2 --junk truncated \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;' \
  --printer --macuaa 8899AABBCCDD --ip 10.77.0.3 --device-id 'MFG:SOLENA;MDL:S1;' \
  --printer --macuaa 112233445566 --ip 10.77.0.4 --vidpid 5A210001 --device-id 'MFG:Korvane;MDL:K1;'

out=$E2E_TMP/out
e2e_run_bg "$out/probe" "$lab_p" "$PROBE" --seconds 2 --name tamo --name solena --name gprinter \
  --uri tamo://80C4A2E691D5 --json
e2e_run_bg "$out/tamo" "$lab_t" env TMPDIR="$full" "$exe_t"
e2e_run_bg "$out/all" "$lab_g" env TMPDIR="$full" "$exe_g"
e2e_run_bg "$out/stream" "$lab_s" env TMPDIR="$full" "$exe_s"
e2e_run_bg "$out/sigterm" "$lab_k" timeout -s TERM 3 "$exe_k"
e2e_wait_all
e2e_take_trace "$out/tamo" "$exe_t"
e2e_take_trace "$out/all" "$exe_g"
e2e_take_trace "$out/stream" "$exe_s"
e2e_take_trace "$out/sigterm" "$exe_k"

# The three complete listings: status 0, nothing on stderr, the whole budget
# waited out, and a discovery run that began and ended.
for r in tamo all stream; do
  e2e_expect_full_run "$out/$r" trace
done

e2e_expect_bytes "tamo: stdout" "$out/tamo/stdout" "$(
  e2e_line "$n_t" 80C4A2E691D5 'MFG:Tamo;CMD:PCL;MDL:Tamo T-100;' Tamo 1 10.77.0.2
  e2e_line "$n_t" 854DC32BA76F 'Tamo MFG:Acme;MDL:Office 9;' Tamo 2 10.77.0.3
  e2e_line "$n_t" 005588DD4433 'Tamo MFG:Generic;MDL:G1;' Tamo 3 10.77.0.4
  e2e_line "$n_t" 03FF77000020 'MFG:Tamo;MDL:Twice;' Tamo 4 10.77.0.5
  e2e_line "$n_t" 03FF77000020 'MFG:Tamo;MDL:Twice;' Tamo 5 10.77.0.5
  e2e_line "$n_t" 03FF770000A0 \
    'MFG:Tamo; network x://000000000000 \"Forged\" \"Forged\" \"6.6.6.6\" MDL:Evil   ;' Tamo 6 10.77.0.6
)
"

e2e_expect_bytes "all: stdout" "$out/all/stdout" "$(
  e2e_line "$n_g" 80C4A2E691D5 'MFG:Tamo;MDL:T1;' Tamo 1 10.77.0.2
  e2e_line "$n_g" 03FF77000080 'Korvane MFG:KORVANE;MDL:K2;' Korvane 2 10.77.0.3
  e2e_line "$n_g" 03FF77000040 'MFG:Korvane;MDL:K3;' Korvane 3 10.77.0.4
  e2e_line "$n_g" 03FF770000C0 'MFG:ZALOR;MDL:Z1;' '' 4 10.77.0.5
  e2e_line "$n_g" 03FF77000060 'MFG:Acme;MDL:LaserPrinter 5;' Printer 5 10.77.0.2
  e2e_line "$n_g" 03FF770000E0 'Printer MFG:Acme;MDL:Other;' Printer 6 10.77.0.3
  e2e_line "$n_g" 03FF77000010 'MFG:Acme;MDL:Plain;' '' 7 10.77.0.4
)
"

# stream: line 1 written at once, line 2 after B's 6 seconds of silence.
e2e_expect_bytes "stream: stdout" "$out/stream/stdout" "$(
  e2e_line "$n_s" 80C4A2E691D5 'MFG:Tamo;MDL:A;' Tamo 1 10.77.0.2
  e2e_line "$n_s" 03FF77000020 'MFG:Tamo;MDL:B;' Tamo 2 10.77.0.3
)
"
mapfile -t stamps < <(cut -f1 "$out/stream/stamps")
if [[ ${#stamps[@]} == 2 ]]; then
  e2e_expect_between "stream: second at which line 1 arrived" "${stamps[0]}" 0 2
  e2e_expect_between "stream: second at which line 2 arrived" "${stamps[1]}" 5.9 9
else
  e2e_fail "stream: ${#stamps[@]} stamped lines, want 2"
fi

# probe: one JSON row per datagram, in arrival order, with a verdict per
# name, then the summary with the job's address.
e2e_expect_status "$out/probe" 0
e2e_expect_eq "probe: rows and summary" "$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if "row" in o:
        print(o["mac"] or "-", *(o["verdicts"][n]["verdict"] for n in ("tamo", "solena", "gprinter")), sep="|")
    else:
        s = o["summary"]
        print(s["replies"], s["printers"], s["uri"]["handed_over_to"], sep="|")
' "$out/probe/stdout" 2>&1)" "-|malformed|malformed|malformed
-|other brand|other brand|no MAC address
80C4A2E691D5|listed|other brand|listed
119955DD33BB|other brand|listed|listed
8844CC22AA66|other brand|other brand|listed
-|malformed|malformed|malformed
-|other brand|other brand|no MAC address
80C4A2E691D5|listed|other brand|listed
119955DD33BB|other brand|listed|listed
8844CC22AA66|other brand|other brand|listed
10|{'tamo': 1, 'solena': 1, 'gprinter': 3}|socket://10.77.0.2"

# sigterm: ended by the signal, with the line of the printer that answered.
e2e_expect_status "$out/sigterm" 124
e2e_expect_between "sigterm: seconds until exit" "$(cat "$out/sigterm/elapsed")" 2.5 5
e2e_expect_bytes "sigterm: stdout" "$out/sigterm/stdout" "$(
  e2e_line "$n_k" 80C4A2E691D5 'MFG:Tamo;MDL:A;' Tamo 1 10.77.0.2
)
"

e2e_finish
