#!/usr/bin/env bash
# Malformed datagrams among good replies: every junk kind the simulator
# offers arrives, in order, right after the query and before the good
# replies. The listing must lose no good printer, forge nothing and not
# crash (the same script runs against the sanitizer build). Two labs at once:
#   tamo  the junk identity (MACUAA 4A554E4B2121 -> MAC 52AA72D28484) has no
#         Tamo brand, so only the good printers are listed; one good printer
#         comes from a second simulator and races the junk;
#   all   under the "g" name every parseable reply with a MAC address is
#         listed, so the output shows what the parser keeps of each kind:
#           huge-rdlength TXT RDLENGTH 0xFFFF: every string inside the datagram
#           oversize      a valid reply cut to 4096 bytes: the whole record
#         ("Junk Printer" in the device ID gives the brand "Printer");
#         truncated (cut inside MACUAA) and txt-overrun (last string
#         overruns) keep IPADDRESS only, and a printer without a MAC address
#         is not listed; empty, short-header, query-echo, pointer-loop,
#         pointer-self and label-c2 are rejected, and deep-names (no TXT
#         record) lists nothing.
# Needs root. Env: NETBACKEND, PRINTER_SIM.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init malformed

full=$(e2e_marker full)
junk=()
kinds=$("$PRINTER_SIM" --list-junk)
for kind in $kinds; do
  junk+=(--junk "$kind")
done

lab_t=malt$$
netlab_up "$lab_t"
netlab_add_printer_ip "$lab_t" 10.77.0.3
netlab_add_printer_ip "$lab_t" 10.77.0.4
# A second simulator (it shares UDP 5353 by SO_REUSEADDR and gets the query
# too): its printer answers at once, in the middle of the junk.
netlab_sim "$lab_t" --printer --macuaa C0FFEE000001 --ip 10.77.0.4 --vidpid 2E970001 \
  --device-id 'MFG:Tamo;MDL:Early;'
netlab_sim "$lab_t" "${junk[@]}" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:A;' \
  --delay-ms 300 \
  --printer --macuaa C0FFEE000002 --ip 10.77.0.3 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:B;' \
  --delay-ms 600 --repeat 2 --interval-ms 300
exe_t=$(e2e_exe tamo t)
n_t=$(basename "$exe_t")

lab_g=malg$$
netlab_up "$lab_g"
netlab_add_printer_ip "$lab_g" 10.77.0.3
netlab_sim "$lab_g" "${junk[@]}" \
  --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 --device-id 'MFG:Tamo;MDL:A;' \
  --printer --macuaa C0FFEE000002 --ip 10.77.0.3 --vidpid 5A210001 --device-id 'MFG:Korvane;MDL:B;' \
  --delay-ms 300
exe_g=$(e2e_exe gprinter g)
n_g=$(basename "$exe_g")

out=$E2E_TMP/out
e2e_run_bg "$out/tamo" "$lab_t" env TMPDIR="$full" "$exe_t"
e2e_run_bg "$out/all" "$lab_g" env TMPDIR="$full" "$exe_g"
e2e_wait_all
e2e_take_trace "$out/tamo" "$exe_t"
e2e_take_trace "$out/all" "$exe_g"

for r in tamo all; do
  e2e_expect_full_run "$out/$r" trace
done

e2e_expect_bytes "tamo: stdout" "$out/tamo/stdout" "$(
  e2e_line "$n_t" 03FF77000080 'MFG:Tamo;MDL:Early;' Tamo 1 10.77.0.4
  e2e_line "$n_t" 80C4A2E691D5 'MFG:Tamo;MDL:A;' Tamo 2 10.77.0.2
  e2e_line "$n_t" 03FF77000040 'MFG:Tamo;MDL:B;' Tamo 3 10.77.0.3
  e2e_line "$n_t" 03FF77000040 'MFG:Tamo;MDL:B;' Tamo 4 10.77.0.3
)
"

junk_id='MFG:Junk;MDL:Junk Printer;'
e2e_expect_bytes "all: stdout" "$out/all/stdout" "$(
  e2e_line "$n_g" 52AA72D28484 "$junk_id" Printer 1 10.77.0.254
  e2e_line "$n_g" 52AA72D28484 "$junk_id" Printer 2 10.77.0.254
  e2e_line "$n_g" 80C4A2E691D5 'MFG:Tamo;MDL:A;' Tamo 3 10.77.0.2
  e2e_line "$n_g" 03FF77000040 'MFG:Korvane;MDL:B;' Korvane 4 10.77.0.3
)
"

e2e_finish
