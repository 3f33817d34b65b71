#!/usr/bin/env bash
# PDF and PostScript through the printer application, to the simulated
# printers' port 9100: every page the document has (pdfinfo's count)
# reaches a PCL printer and decodes to the page Ghostscript renders for the
# same sheet (pcl_compare); page-ranges, copies and orientation; a printer with no page
# language of its own gets the same; a PostScript printer gets PostScript as
# it came. A malformed PDF ends its job with a reason, a canceled job leaves
# no Ghostscript behind, and the server keeps printing after both.
# Needs root. Env: see lib/app.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/app.sh source-path=SCRIPTDIR
source "$here/lib/app.sh"
app_init pdf
command -v pdfinfo >/dev/null || { echo "pdf: needs pdfinfo (tools/install-deps.sh)" >&2; exit 1; }

lab=apdf$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
jobs=$dir/jobs
netlab_add_printer_ip "$lab" 10.77.0.3
netlab_add_printer_ip "$lab" 10.77.0.4
args=()
i=0
for cmd in "CMD:PCL;" "" "CMD:POSTSCRIPT;"; do
  args+=(--printer --macuaa "0123456789A$i" --ip "10.77.0.$((i + 2))" --vidpid 2E970042
    --device-id "MFG:Tamo;MDL:T$i;$cmd")
  i=$((i + 1))
done
netlab_sim "$lab" --jobs-dir "$jobs" "${args[@]}"
app_start "$lab"
# The MACs as the printers write them: bit-reversed per byte.
app_add "$lab" pcl tamo://80C4A2E69105 pcl
app_add "$lab" raster tamo://80C4A2E69185 raster
app_add "$lab" ps tamo://80C4A2E69145 postscript
# Letter, a whole number of pixels at 600 dpi: A4 is not (7016.7 rows), and
# Ghostscript's PWG raster device rounds the fraction otherwise than its
# PBM one, which puts the references a row off.
for p in pcl raster ps; do
  app_cmd "$lab" modify -d "$p" -o media-default=na_letter_8.5x11in \
    -o media-ready=na_letter_8.5x11in >/dev/null || e2e_fail "$p: cannot make Letter its sheet"
done

# Three Letter pages of black text and bars on white, which print exactly:
# gray would be halftoned, and a page scaled to another sheet is placed to
# the pixel differently by Ghostscript's PWG raster device than by its PBM
# one.
doc=$dir/doc
{
  echo '%!PS'
  echo '<< /PageSize [612 792] >> setpagedevice /Times-Roman findfont 14 scalefont setfont'
  for p in 1 2 3; do
    echo "72 700 moveto (Page $p: the quick brown fox jumps over the lazy dog) show"
    echo "72 600 $((100 * p)) 40 rectfill 72 200 moveto (Text at the bottom of page $p) show"
    echo showpage
  done
} >"$doc.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$doc.pdf" "$doc.ps"
pages=$(pdfinfo "$doc.pdf" | sed -nE 's/^Pages: +([0-9]+)$/\1/p')
e2e_expect_eq "pdfinfo's page count" "$pages" 3

# ref OUT [GS ARGS] DOCUMENT...: what the printer must print, as 8-bit gray
# PWG raster for pcl_compare: the documents rendered on the printers' sheet
# at the resolution PAPPL chooses for normal quality (600 dpi).
ref() {
  local out=$1
  shift
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -r600 -dDEVICEWIDTHPOINTS=612 -dDEVICEHEIGHTPOINTS=792 -dFIXEDMEDIA \
    -sOutputFile="$out" "$@" 2>/dev/null
}
ref "$doc-pdf.pwg" "$doc.pdf"
ref "$doc-ps.pwg" "$doc.ps"
ref "$doc-page2.pwg" -sPageList=2 "$doc.pdf"
ref "$doc-twice.pwg" "$doc.pdf" "$doc.pdf"

# next_job IP: sets job to the path of the printer at IP's next job, once it
# has come.
declare -A seen=()
job=""
next_job() {
  local n=$((${seen[$1]:-0} + 1))
  seen[$1]=$n
  job=$jobs/$1-$n.bin
  app_wait_file "$job" 30 || e2e_fail "no job $n reached the printer at $1"
}

# compare WHAT REFERENCE IP PAGES: the next job of the printer at IP prints
# the reference, PAGES pages.
compare() {
  local out
  next_job "$3"
  if ! out=$("$PCL_COMPARE" "$2" "$job" 2>&1); then
    e2e_fail "$1: what reached the printer is not the document:"
    echo "$out" >&2
    return 0
  fi
  e2e_expect_eq "$1: pages at the printer" "$(grep -c '^page ' <<<"$out")" "$4"
}

# no_page WHAT IP: the next job of the printer at IP has no page: at most
# the printer's reset (the connection opens before the document is read).
no_page() {
  next_job "$2"
  [[ $(wc -c <"$job") -le 2 ]] || e2e_fail "$1: the printer got $(wc -c <"$job") bytes"
}

# printed OUT PRINTER FILE FORMAT PAGES: one job that must complete with
# PAGES impressions.
printed() {
  app_print "$lab" "$1" "$2" "$3" "$4" || return 0
  e2e_expect_eq "${1##*/}: Print-Job" "$(app_status "$1")" successful-ok
  e2e_expect_eq "${1##*/}: job-state" "$(app_job "$1" job-state)" completed
  e2e_expect_eq "${1##*/}: job-impressions-completed" "$(app_job "$1" job-impressions-completed)" "$5"
}

printed "$dir/pcl-pdf" pcl "$doc.pdf" application/pdf "$pages"
compare "PDF to the PCL printer" "$doc-pdf.pwg" 10.77.0.2 "$pages"
printed "$dir/pcl-ps" pcl "$doc.ps" application/postscript 3
compare "PostScript to the PCL printer" "$doc-ps.pwg" 10.77.0.2 3
printed "$dir/raster-pdf" raster "$doc.pdf" application/pdf "$pages"
compare "PDF to the raster-only printer" "$doc-pdf.pwg" 10.77.0.3 "$pages"
printed "$dir/ps-pdf" ps "$doc.pdf" application/pdf "$pages"
compare "PDF to the PostScript printer" "$doc-pdf.pwg" 10.77.0.4 "$pages"
printed "$dir/ps-ps" ps "$doc.ps" application/postscript 0
next_job 10.77.0.4
cmp -s "$doc.ps" "$job" ||
  e2e_fail "PostScript to the PostScript printer did not arrive as it was sent"

app_cmd "$lab" submit -d pcl -o page-ranges=2-2 "$doc.pdf" >/dev/null
compare "page-ranges=2-2" "$doc-page2.pwg" 10.77.0.2 1
app_cmd "$lab" submit -d pcl -o copies=2 "$doc.pdf" >/dev/null
compare "copies=2" "$doc-twice.pwg" 10.77.0.2 $((2 * pages))
# Landscape asked for: each portrait page turned a quarter counter-clockwise
# (its top to the sheet's left edge), scaled to the sheet's width: its black
# lies between rows 1329 and 5271 (159.5 and 632.5 points) and starts near
# the left edge (turned the other way, its text would start past column 1200).
app_cmd "$lab" submit -d pcl -o orientation-requested=4 "$doc.pdf" >/dev/null
next_job 10.77.0.2
ink=$("$PCL_COMPARE" --ink "$job") || e2e_fail "landscape: the PCL does not decode"
e2e_expect_eq "landscape: pages turned into the middle band, top to the left" \
  "$(awk '$2 >= 1320 && $4 <= 5280 && $1 < 900' <<<"$ink" | wc -l)" "$pages"

# A PDF whose body is garbage: Ghostscript renders no page and says why.
printf '%%PDF-1.4\n1 0 obj garbage\n%%%%EOF\n' >"$dir/bad.pdf"
app_print "$lab" "$dir/bad" pcl "$dir/bad.pdf" application/pdf || true
e2e_expect_eq "malformed PDF: job-state" "$(app_job "$dir/bad" job-state)" aborted
[[ $(app_job "$dir/bad" job-state-reasons) == *document-format-error* ]] ||
  e2e_fail "malformed PDF: job-state-reasons $(app_job "$dir/bad" job-state-reasons)"
[[ $(app_job "$dir/bad" job-state-message) == *"cannot be rendered: "?* ]] ||
  e2e_fail "malformed PDF: job-state-message '$(app_job "$dir/bad" job-state-message)'"
no_page "malformed PDF" 10.77.0.2

# PostScript that never ends, canceled while Ghostscript runs it. The
# server's spool folder is this lab's own: a process naming it is ours.
printf '%%!PS\n{} loop\n' >"$dir/endless.ps"
id=$(app_cmd "$lab" submit -d pcl "$dir/endless.ps")
running() { pgrep -f -- "^/usr/bin/gs .*$dir/app/spool/" >/dev/null; }
for ((i = 0; i < 100; i++)); do running && break; sleep 0.1; done
running || e2e_fail "cancel: Ghostscript never ran the endless job"
app_cmd "$lab" cancel -d pcl -j "${id##*-}" >/dev/null || e2e_fail "cancel: the subcommand failed"
for ((i = 0; i < 50; i++)); do running || break; sleep 0.1; done
running && e2e_fail "cancel: Ghostscript still runs 5 s after the job was canceled"
no_page "canceled job" 10.77.0.2

# The server still prints after both.
printed "$dir/after" pcl "$doc.pdf" application/pdf "$pages"
compare "PDF after a malformed and a canceled job" "$doc-pdf.pwg" 10.77.0.2 "$pages"

app_stop "$lab"
e2e_finish
