#!/usr/bin/env bash
# The backend's main job on a simulated printer network, from a fresh clone:
# builds the program and the printer simulator, creates private network
# namespaces with simulated printers of several brands, lists them under the
# names tamo, solena and gprinter, then prints a job through the hand-over to
# CUPS's own socket backend and shows the bytes that reached the printer.
# Needs root; nothing leaves the private namespaces, and they are removed at
# the end. Ends with status 0 when all went well (check.sh checks that).
set -euo pipefail
cd "$(dirname "$0")"
SOURCE_DIR=$PWD

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# reverse_bits HEX: HEX with the bits of each byte reversed, which is how a
# printer's MACUAA becomes the MAC address in its device URI
# (01 = 00000001 -> 10000000 = 80).
reverse_bits() {
  local hex=$1 out="" i k byte rev
  for ((i = 0; i < ${#hex}; i += 2)); do
    byte=$((16#${hex:i:2})) rev=0
    for ((k = 0; k < 8; k++)); do
      rev=$(( (rev << 1) | ((byte >> k) & 1) ))
    done
    out+=$(printf '%02X' "$rev")
  done
  echo "$out"
}

say "Installing what is missing (compiler, CMake, iproute2, CUPS's socket backend)"
tools/install-deps.sh demo

say "Building"
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target netbackend printer_sim >/dev/null
echo "built build/default/netbackend ($(build/default/netbackend -v))"

work=$(mktemp -d /tmp/netbackend-demo.XXXXXX)
# One program file under several names: the first letter picks the brand.
cp build/default/netbackend "$work/tamo"
ln "$work/tamo" "$work/solena"
ln "$work/tamo" "$work/gprinter"
mkdir -p "$work/jobs"

export PRINTER_SIM=$SOURCE_DIR/build/default/tools/printer_sim
# shellcheck source=tests/e2e/lib/netlab.sh
source tests/e2e/lib/netlab.sh
cleanup_work() { rm -rf "$work"; }
trap cleanup_work EXIT

printers=(
  --printer --macuaa 0123456789AB --ip 10.77.0.21 --vidpid 2E970042
            --device-id "MFG:Tamo;MDL:T-100;CMD:PCL;" --mdns-name Tamo-T100
  --printer --macuaa 02A0C5551234 --ip 10.77.0.22
            --device-id "MFG:Generic;MDL:Office 9;" --mdns-name "Tamo-Office"
  --printer --macuaa 0E1F2A3B4C5D --ip 10.77.0.23
            --device-id "MFG:SOLENA;MDL:S-7;" --mdns-name Solena-S7
  --printer --macuaa 1A2B3C4D5E6F --ip 10.77.0.24 --vidpid 5A210007
            --device-id "MFG:Korvane;MDL:K2;" --mdns-name Korvane-K2 --delay-ms 400
)

# Three labs, one per listing, so that the three listings run side by side,
# each against printers (and a simulator log) of its own.
for lab in "demoa$$" "demob$$" "democ$$"; do
  netlab_up "$lab"
  for ip in 10.77.0.21 10.77.0.22 10.77.0.23 10.77.0.24; do
    netlab_add_printer_ip "$lab" "$ip"
  done
done
netlab_sim "demoa$$" --quiet --jobs-dir "$work/jobs" "${printers[@]}"
netlab_sim "demob$$" --quiet "${printers[@]}"
netlab_sim "democ$$" --quiet "${printers[@]}"
cat <<TEXT
Simulated printers (each answers the host-config query from its own address):
  10.77.0.21  MACUAA 0123456789AB  vendor Tamo      "MFG:Tamo;MDL:T-100;CMD:PCL;"
  10.77.0.22  MACUAA 02A0C5551234  no vendor ID     mDNS name "Tamo-Office"
  10.77.0.23  MACUAA 0E1F2A3B4C5D  no vendor ID     "MFG:SOLENA;MDL:S-7;"
  10.77.0.24  MACUAA 1A2B3C4D5E6F  vendor Korvane   answers after 400 ms
A device URI names a printer by its MAC address, which is the printer's
MACUAA with the bits of each byte reversed: MACUAA 0123456789AB becomes
tamo://$(reverse_bits 0123456789AB) (01 = 00000001 -> 10000000 = 80, 23 -> C4, ...).
TEXT

say "Listing as 'tamo', 'solena' and 'gprinter' (15 seconds of listening; lines appear as printers answer)"
netlab_run_host "demoa$$" "$work/tamo" > "$work/tamo.out" &
tamo_pid=$!
netlab_run_host "demob$$" "$work/gprinter" > "$work/gprinter.out" &
gprinter_pid=$!
netlab_run_host "democ$$" "$work/solena" > "$work/solena.out" &
solena_pid=$!
wait "$tamo_pid" "$gprinter_pid" "$solena_pid"
echo "-- tamo (Tamo printers only):"
cat "$work/tamo.out"
echo "-- solena (SOLENA printers only):"
cat "$work/solena.out"
echo "-- gprinter (every printer):"
cat "$work/gprinter.out"

# The job goes to the Tamo printer at 10.77.0.21, by the URI it was listed
# under.
uri=tamo://$(reverse_bits 0123456789AB)
grep -q "^network $uri " "$work/tamo.out" \
  || { echo "the printer with MACUAA 0123456789AB was not listed as $uri" >&2; exit 1; }

say "Printing a job to $uri (MACUAA 0123456789AB) through the hand-over to CUPS's socket backend"
head -c 4096 /dev/urandom > "$work/job.bin"
start=$(date +%s%N)
status=0
DEVICE_URI=$uri CUPS_SERVERBIN=/usr/lib/cups \
  netlab_run_host "demoa$$" "$work/tamo" 1 demo "demo job" 1 "" "$work/job.bin" \
  2> "$work/socket.err" || status=$?
end=$(date +%s%N)
echo "job finished with status $status after $(( (end - start) / 1000000 )) ms" \
  "(the program found the printer by its MAC address and became the socket backend)"
if [ "$status" != 0 ]; then
  cat "$work/socket.err" >&2
  exit 1
fi
netlab_sim_stop "demoa$$"
received=$(ls "$work/jobs")
echo "the printer stored: $received"
if cmp "$work/job.bin" "$work/jobs/$received"; then
  echo "the $(stat -c %s "$work/jobs/$received") bytes that arrived are exactly the job's bytes; first of them:"
  # od reads only what it shows: piped into head it could be killed by
  # SIGPIPE, which pipefail would turn into the demo's exit status.
  od -A d -t x1 -N 48 "$work/jobs/$received"
else
  echo "the bytes that arrived differ from the job" >&2
  exit 1
fi
say "Done; the namespaces and simulators are being removed"
