#!/usr/bin/env bash
# PDF benchmark: a 10-page text PDF (60 lines a page) printed at 600 dpi
# through the printer application's PDF filter to a simulated PCL printer,
# against Ghostscript alone making PCL of the same pages (ljet4, to a file)
# and rendering the 1-bit pages the filter reads (pbmraw, to /dev/null).
# The filter's time is the server's, from "Starting print job." to
# "Completed, ..." in its log (Ghostscript, the PCL encoding and the bytes
# handed to the printer over the lab's link). Prints the median of RUNS
# runs of each, in pages a second, the filter's bytes and ljet4's, and the
# ratio of the filter to Ghostscript's PCL alone (the goal is 0.9 or more);
# also the filter's time when the job asks for portrait or landscape.
#
# Builds nothing. Needs root (network namespaces), gs and ipptool.
# Env: APP, PCL_COMPARE, NETBACKEND, PRINTER_SIM (default: build/default's),
# RUNS (default 5).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build/default
export APP=${APP:-$build/src/app/netbackend-printer-app}
export PCL_COMPARE=${PCL_COMPARE:-$build/tests/pcl_compare}
export NETBACKEND=${NETBACKEND:-$build/netbackend}
export PRINTER_SIM=${PRINTER_SIM:-$build/tools/printer_sim}
RUNS=${RUNS:-5}
PAGES=10

# shellcheck source=../tests/e2e/lib/app.sh source-path=SCRIPTDIR
source "$root/tests/e2e/lib/app.sh"
app_init pdfbench
lab=pdfb$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")

doc=$dir/text
{
  echo '%!PS'
  echo '<< /PageSize [595 842] >> setpagedevice /Times-Roman findfont 11 scalefont setfont'
  echo "1 1 $PAGES { /p exch def 1 1 60 { /l exch def 56 800 l 12.5 mul sub moveto"
  echo '(Page ) show p 3 string cvs show (, line ) show l 3 string cvs show'
  echo '(: the quick brown fox jumps over the lazy dog; pack my box with five dozen jugs.) show'
  echo '} for showpage } for'
} >"$doc.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$doc.pdf" "$doc.ps"

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() {  # CMD...: wall-clock seconds of CMD
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }'
}
gs_alone() {  # DEVICE OUT
  gs -q -dSAFER -dBATCH -dNOPAUSE -r600 -sPAPERSIZE=a4 -dFIXEDMEDIA -sDEVICE="$1" \
    -sOutputFile="$2" "$doc.pdf"
}

netlab_sim "$lab" --quiet --jobs-dir "$dir/jobs" --printer --macuaa 0123456789A0 --ip 10.77.0.2 \
  --vidpid 2E970042 --device-id "MFG:Tamo;MDL:B;CMD:PCL;"
app_start "$lab"
app_add "$lab" pcl tamo://80C4A2E69105 pcl
# job_seconds N: job N's time in the server's log, which stamps in
# milliseconds: [2026-01-01T10:00:00.123Z] [Job N] ...
job_seconds() {
  sed -nE "s/^. \[[^T]*T([0-9:.]+)Z\] \[Job $1\] (Starting print job\.|Completed, ).*/\1/p" \
    "$dir/app/log" | awk -F: 'NR == 1 { s = $1 * 3600 + $2 * 60 + $3 } END { printf "%.4f\n", $1 * 3600 + $2 * 60 + $3 - s }'
}
filter=()
for ((run = 1; run <= RUNS; run++)); do
  app_print "$lab" "$dir/run$run" pcl "$doc.pdf" application/pdf
  [[ $(app_job "$dir/run$run" job-state) == completed ]] ||
    { echo "pdf_bench: run $run did not complete" >&2; exit 1; }
  filter+=("$(job_seconds "$run")")
done
# The same with an orientation asked for: a first run learns each page's
# shape, and the pages are placed (and turned) on the sheet.
job=$RUNS
declare -A oriented=()
for o in 3 4; do
  times=()
  for ((run = 1; run <= RUNS; run++)); do
    job=$((job + 1))
    app_cmd "$lab" submit -d pcl -o orientation-requested=$o "$doc.pdf" >/dev/null
    for ((i = 0; i < 600; i++)); do
      grep -q "\[Job $job\] Completed, " "$dir/app/log" && break
      sleep 0.1
    done
    times+=("$(job_seconds "$job")")
  done
  oriented[$o]=$(printf '%s\n' "${times[@]}" | median)
done
app_stop "$lab"
filter_s=$(printf '%s\n' "${filter[@]}" | median)
filter_bytes=$(wc -c <"$dir/jobs/10.77.0.2-1.bin")

ljet4=() pbm=()
for ((run = 1; run <= RUNS; run++)); do
  ljet4+=("$(seconds gs_alone ljet4 "$dir/ljet4.pcl")")
  pbm+=("$(seconds gs_alone pbmraw /dev/null)")
done
ljet4_s=$(printf '%s\n' "${ljet4[@]}" | median)
pbm_s=$(printf '%s\n' "${pbm[@]}" | median)

awk -v p="$PAGES" -v f="$filter_s" -v l="$ljet4_s" -v b="$pbm_s" -v fb="$filter_bytes" \
  -v portrait="${oriented[3]}" -v landscape="${oriented[4]}" \
  -v lb="$(wc -c <"$dir/ljet4.pcl")" -v runs="$RUNS" 'BEGIN {
  printf "%d-page text PDF at 600 dpi, median of %d runs\n", p, runs
  printf "  filter (gs pbmraw + PCL writer + printer): %6.3f s  %6.1f pages/s  %9d bytes of PCL\n", f, p / f, fb
  printf "    orientation-requested=portrait:       %6.3f s  %6.1f pages/s\n", portrait, p / portrait
  printf "    orientation-requested=landscape:      %6.3f s  %6.1f pages/s\n", landscape, p / landscape
  printf "  gs alone, PCL (ljet4) to a file:           %6.3f s  %6.1f pages/s  %9d bytes of PCL\n", l, p / l, lb
  printf "  gs alone, 1-bit raster (pbmraw) discarded: %6.3f s  %6.1f pages/s\n", b, p / b
  printf "  filter / gs ljet4: %.2f (goal 0.9 or more)\n", l / f
}'
e2e_finish
