#!/usr/bin/env bash
# The printer application as the clients people use meet it:
#   cups     a real, isolated CUPS scheduler (lib/cupsd.sh) makes a
#            driverless queue for the application's printer (lpadmin -m
#            everywhere) and prints a PDF through it, which it sends as
#            PDF, and through a queue whose PPD lacks PDF, to which its
#            filters send raster: the printer receives the PDF's pages as
#            PCL both times, and the jobs complete in lpstat;
#   web      headless Chromium loads the printer's page of the web
#            interface: it shows the printer idle and the scheduler's job
#            completed.
# Scheduler, browser, application and printer all run inside the lab.
# Needs root, Debian's cups and chromium. Env: see lib/app.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/app.sh source-path=SCRIPTDIR
source "$here/lib/app.sh"
# shellcheck source=lib/cupsd.sh source-path=SCRIPTDIR
source "$here/lib/cupsd.sh"
app_init clients
cups_check_prereqs || exit 1
command -v chromium >/dev/null || { echo "clients: needs chromium (tools/install-deps.sh)" >&2; exit 1; }

lab=appk$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
netlab_sim "$lab" --jobs-dir "$dir/jobs" --printer --macuaa 0123456789AB --ip 10.77.0.2 \
  --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;CMD:PCL;'
app_start "$lab"
app_add "$lab" p tamo://80C4A2E691D5 pcl

# --- cups ---
cupsd=$dir/cupsd
sock=$cupsd/cups.sock
# The scheduler runs filters as lp: every folder on the way is 0755.
chmod 0755 "$dir"
cups_make "$cupsd" private
# netlab_down ends it with everything else in the lab, should the script
# end early.
cups_start "$cupsd" "$lab-h"
app_document "$E2E_TMP/doc.ps" 2
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=a4 -sOutputFile="$E2E_TMP/doc.pdf" \
  "$E2E_TMP/doc.ps" 2>/dev/null
chmod 0644 "$E2E_TMP/doc.pdf"
lpadmin -h "$sock" -p q -E -v "$(app_uri p)" -m everywhere ||
  e2e_fail "cups: lpadmin -m everywhere could not make a queue for the printer"
title=app-e2e-$$
# cups_print QUEUE N: the PDF printed through QUEUE completes in lpstat and
# reaches the printer as its job N, two pages of PCL; sets format to the
# document-format it came in.
cups_print() {
  local job got pages
  format=""
  job=$(lp -h "$sock" -d "$1" -t "$title" "$E2E_TMP/doc.pdf" | sed -nE 's/^request id is ([^ ]+) .*/\1/p')
  [[ -n $job ]] || { e2e_fail "cups: lp refused the job for $1"; return 0; }
  for ((i = 0; i < 600; i++)); do
    lpstat -h "$sock" -W completed -o "$1" | grep -q "^$job " && break
    sleep 0.1
  done
  lpstat -h "$sock" -W completed -o "$1" | grep -q "^$job " || {
    e2e_fail "cups: $job did not complete within 60 s: $(lpstat -h "$sock" -l -o "$1")"
    grep -E "\[Job ${job##*-}\]" "$cupsd/log/error_log" | grep -vE 'envp|argv' | tail -n 30 >&2
  }
  got=$dir/jobs/10.77.0.2-$2.bin
  if app_wait_file "$got" 10; then
    pages=$("$PCL_COMPARE" --pages "$got" 2>&1)
    format=$(sed -nE 's/.* request: +document-format mimeMediaType (.*)/\1/p' "$dir/app/log" |
      tail -n 1)
    echo "cups: $job sent as $format, completed, $pages pages of PCL at the printer"
    e2e_expect_eq "cups: pages the printer received from $1" "$pages" 2
  else
    e2e_fail "cups: nothing reached the printer from $1"
  fi
}
cups_print q 1
[[ $format == application/pdf ]] || e2e_fail "cups: q sent $format, not the PDF"
# The same printer without PDF in its PPD: the scheduler renders raster
# itself, which must print as well.
grep -v '^\*cupsFilter2: "[^ ]* application/pdf ' "$cupsd/root/ppd/q.ppd" >"$E2E_TMP/raster.ppd"
lpadmin -h "$sock" -p r -E -v "$(app_uri p)" -P "$E2E_TMP/raster.ppd" ||
  e2e_fail "cups: lpadmin could not make a raster queue"
cups_print r 2
[[ $format == image/pwg-raster || $format == image/urf ]] || e2e_fail "cups: r sent $format, not raster"

# --- web ---
page=$E2E_TMP/page.html
app_run "$lab" HOME="$E2E_TMP" timeout 60 chromium --headless --no-sandbox --disable-gpu \
  --disable-quic --no-first-run --disable-background-networking --disable-component-update \
  --disable-sync --user-data-dir="$E2E_TMP/chromium" --dump-dom "http://127.0.0.1:$APP_PORT/p" \
  >"$page" 2>"$E2E_TMP/chromium.log" || e2e_fail "web: chromium failed: $(tail -n 5 "$E2E_TMP/chromium.log")"
text=$(sed -e 's/<[^>]*>/ /g' "$page" | tr -s ' \n' ' ')
[[ $text == *" Status Idle, "* ]] || e2e_fail "web: the page does not show the printer idle: $text"
[[ $text == *" $title "*" Completed at "* ]] ||
  e2e_fail "web: the page does not show the job $title completed: $text"
echo "web: ${text:0:200}"

cups_stop "$cupsd"
app_stop "$lab"
e2e_finish
