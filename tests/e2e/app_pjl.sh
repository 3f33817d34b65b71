#!/usr/bin/env bash
# What the printer says, for every client: a simulated printer whose 1284
# ID lists PJL answers on the job's connection (printer_sim --pjl), its
# condition set from here (--pjl-status):
#   paper    out of paper during a job: the printer shows media-empty, the
#            job its panel's text and stays processing for as long as it
#            takes; paper back, the job completes, the reason clears;
#   end      a job completes only once the printer said it printed it;
#   jam      a jam shows media-jam; toner low shows toner-low and printing
#            goes on, and the last state stays shown while the printer is
#            idle;
#   silent   a PJL printer that never answers prints at once all the same;
#   frame    what the printer received is the job in its PJL frame, the
#            document's bytes untouched (a printer without PJL gets them
#            alone: app_print's raw job).
# Needs root. Env: see lib/app.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/app.sh source-path=SCRIPTDIR
source "$here/lib/app.sh"
app_init pjl

lab=appj$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
status=$dir/status
condition() {  # CODE DISPLAY: the printer's condition from now on
  printf 'CODE=%s\nDISPLAY=%s\nONLINE=TRUE\n' "$1" "$2" >"$status.new"
  mv "$status.new" "$status"
}
condition 10001 READY
sim() {  # extra simulator options: the PJL printer at 10.77.0.2
  netlab_sim "$lab" --jobs-dir "$dir/jobs" "$@" --printer --macuaa 0123456789AB \
    --ip 10.77.0.2 --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;CMD:PJL,PCL;'
}
# It reads as fast as it prints: a job takes a few seconds.
sim --pjl --pjl-status "$status" --pjl-variant spaces --read-bytes-per-second 100000
app_start "$lab"
app_add "$lab" p tamo://80C4A2E691D5 pcl
{
  printf '\033E'
  head -c 300000 /dev/zero
  printf '\f\033E'
} >"$dir/doc.pcl"
submit() { app_cmd "$lab" submit -d p -o document-format=application/vnd.hp-pcl "$dir/doc.pcl"; }
# state: the last job's state; job ATTRIBUTE: a waiting job's, as Get-Jobs
# shows it.
state() { app_cmd "$lab" jobs -d p | awk 'NR == 1 {print $2}'; }
job() {
  app_ipptool "$lab" "$dir/jobs.out" -v "$(app_uri p)" "$here/lib/app_jobs.test" || true
  sed -nE "s/^ +$1 \\([^)]*\\) = (.*)/\\1/p" "$dir/jobs.out" | head -n 1
}
reasons() {
  app_ipptool "$lab" "$dir/printer.out" -v "$(app_uri p)" "$APP_IPPTOOL_DIR/get-printer-attributes.test" ||
    true
  sed -nE 's/^ +printer-state-reasons \([^)]*\) = (.*)/\1/p' "$dir/printer.out" | head -n 1
}
# until WHAT WANT COMMAND...: waits up to 10 s for COMMAND to print WANT.
until_is() {
  local i got
  for ((i = 0; i < 50; i++)); do
    got=$("${@:3}")
    [[ $got == *"$2"* ]] && return 0
    sleep 0.2
  done
  e2e_fail "$1: got '$got', want '$2'"
}

# --- paper, end ---
submit >/dev/null
sleep 1
condition 41201 "LOAD PAPER"
until_is "paper: the printer's reasons" media-empty reasons
until_is "paper: the job's message" "LOAD PAPER" job job-state-message
sleep 2
e2e_expect_eq "paper: the job waits" "$(state)" processing
condition 10001 READY
until_is "paper: the job" completed state
until_is "paper: the reasons once the paper is back" none reasons
# framed NAME: the job as a PJL printer must receive it.
framed() {
  printf '\033%%-12345X@PJL JOB NAME="%s"\r\n@PJL USTATUS DEVICE=ON\r\n@PJL USTATUS JOB=ON\r\n' "$1"
  printf '@PJL USTATUS PAGE=ON\r\n@PJL INFO STATUS\r\n@PJL ECHO netbackend 1\r\n'
  cat "$dir/doc.pcl"
  printf '\033%%-12345X@PJL EOJ NAME="%s"\r\n\033%%-12345X' "$1"
}
cmp -s <(framed "netbackend job 1: doc.pcl") "$dir/jobs/10.77.0.2-1.bin" ||
  e2e_fail "frame: the printer did not get the job in its PJL frame"

# --- jam, toner low ---
submit >/dev/null
sleep 1
condition 40022 "PAPER JAM"
until_is "jam: the printer's reasons" media-jam reasons
condition 10006 "TONER LOW"
until_is "toner: the job" completed state
until_is "toner: the printer's reasons" toner-low reasons
sleep 3
e2e_expect_eq "toner: the reason stays while the printer is idle" "$(reasons)" toner-low

# --- silent ---
netlab_sim_stop "$lab"
rm -rf "$dir/jobs"
sim
start=$SECONDS
submit >/dev/null
until_is "silent: the job" completed state
e2e_expect_between "silent: seconds to print" $((SECONDS - start)) 0 4

app_stop "$lab"
e2e_finish
