#!/usr/bin/env bash
# The backend under a real CUPS scheduler, end to end: listing printers with
# lpinfo, printing through a raw queue to a simulated printer, the printer
# moving to another address, a printer that never answers, the program
# running as lp (mode 0755) and as root (0700), and the Debian package.
#
# Every scheduler is isolated (its own configuration, state and spool, a unix
# socket as its only listener, see tests/e2e/lib/cupsd.sh) and runs in the host
# side of a netlab of its own, with the simulated printers on the printer
# side. Independent checks run in parallel lanes, one netlab each: a lab per
# lane also keeps one lane's discovery replies away from another's.
#
# Needs root and Debian's cups and cups-client packages (and lintian,
# devscripts and mandoc for the package checks). The suite's own .deb is
# installed only into throw-away copies of what dpkg writes, in a private
# mount namespace (see "the package database" below): the machine's installed
# packages are the same afterwards, whatever they were before.
# Environment (set by ctest): NETBACKEND, PRINTER_SIM, BINARY_DIR, NETBACKEND_VERSION, NETBACKEND_QUERY_VERSION.
set -uo pipefail

: "${NETBACKEND:?NETBACKEND must name the built program}"
: "${PRINTER_SIM:?PRINTER_SIM must name the built printer simulator}"
: "${BINARY_DIR:?BINARY_DIR must name the build tree}"
: "${NETBACKEND_VERSION:?NETBACKEND_VERSION must be the version of the build}"
: "${NETBACKEND_QUERY_VERSION:?NETBACKEND_QUERY_VERSION must be what -v answers}"

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/netlab.sh source-path=SCRIPTDIR
source "$HERE/lib/netlab.sh"
# shellcheck source=lib/cupsd.sh source-path=SCRIPTDIR
source "$HERE/lib/cupsd.sh"

SUITE_T0=${EPOCHREALTIME/./}

# ---- timing and reporting -------------------------------------------------

# since T0: seconds since T0 (microseconds as ${EPOCHREALTIME/./} gives them).
since() {
  local us=$(( ${EPOCHREALTIME/./} - $1 ))
  printf '%d.%d s' $((us / 1000000)) $((us / 100000 % 10))
}

STEP_T0=0
step() {
  STEP_T0=${EPOCHREALTIME/./}
  echo "-- $*"
}
ok() { echo "   ok${1:+: $1} ($(since "$STEP_T0"))"; }
# fail MESSAGE: ends the lane (or the main script) with status 1. On stderr,
# so that it is seen from inside a command substitution too.
fail() {
  echo "   FAIL: $* ($(since "$STEP_T0"))" >&2
  exit 1
}

# ---- work area and cleanup ------------------------------------------------

cups_check_prereqs || exit 1
for f in "$NETBACKEND" "$PRINTER_SIM"; do
  [ -x "$f" ] || { echo "cups e2e: $f is not an executable file" >&2; exit 1; }
done
for c in dpkg unshare lintian hardening-check mandoc; do
  command -v "$c" >/dev/null || { echo "cups e2e: needs $c (tools/install-deps.sh)" >&2; exit 1; }
done

# ---- the package database ----------------------------------------------------
#
# The suite runs in a mount namespace of its own, where /var/lib/dpkg,
# /usr/share (man pages, documents, lintian overrides), /usr/sbin (the
# probe) and the backend directory are overlays whose changes go to a tmpfs (mounted in the setup):
# dpkg installs and removes the package there, and the scheduler of the
# package lane sees the installed files, while the machine's own package
# database and directories stay as they were; the namespace and its mounts
# go when the suite ends. Outside, this part starts the suite in that
# namespace and checks afterwards that the machine's package state did not
# change.
PKG_OVERLAYS=(/var/lib/dpkg /usr/share /usr/sbin "$CUPS_SYSTEM_SERVERBIN/backend")
if [ -z "${CUPS_E2E_MOUNT_NS:-}" ]; then
  machine_state() {
    md5sum /var/lib/dpkg/status
    find "$CUPS_SYSTEM_SERVERBIN/backend" -printf '%P %i %n %m %s %T@\n' | LC_ALL=C sort
  }
  state_before=$(machine_state)
  CUPS_E2E_MOUNT_NS=1 unshare --mount --propagation private -- bash "${BASH_SOURCE[0]}" "$@" &
  suite_pid=$!
  trap 'kill -TERM "$suite_pid" 2>/dev/null' INT TERM HUP
  rc=0
  wait "$suite_pid" || rc=$?
  # A signal ends the wait early: wait again for the suite's own cleanup.
  while kill -0 "$suite_pid" 2>/dev/null; do wait "$suite_pid"; rc=$?; done
  if ! diff <(echo "$state_before") <(machine_state) >&2; then
    echo "cups e2e: FAIL: the machine's /var/lib/dpkg/status or $CUPS_SYSTEM_SERVERBIN/backend changed" >&2
    rc=1
  fi
  exit "$rc"
fi
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
  echo "cups e2e: not in a mount namespace of its own; refusing to install the package" >&2
  exit 1
fi

# 0755 all the way down: the backend runs as lp and must reach its files.
WORK=$(mktemp -d /tmp/cups-e2e.XXXXXX) || exit 1
chmod 0755 "$WORK"
LABS=()
LANE_PIDS=()
DEB_INSTALLED=0
PACKAGE=netbackend
# The names the package installs (gprinter comes with netbackend-gprinter).
PKG_NAMES=(tamo solena zalor orbec)
MOUNTED=()
ROOT_HOME=$(getent passwd 0 | cut -d: -f6)

cleanup() {
  local rc=$? pid lab log
  for pid in "${LANE_PIDS[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${LANE_PIDS[@]}"; do
    wait "$pid" 2>/dev/null
  done
  if [ "$rc" != 0 ]; then
    for lab in "${LABS[@]}"; do
      for log in "$(netlab_tmpdir "$lab")"/sim-*.log; do
        [ -s "$log" ] || continue
        echo "---- simulator log $lab: $log (last 15 lines) ----" >&2
        tail -n 15 "$log" >&2
      done
    done
  fi
  # netlab_down ends whatever still runs in a lab's namespaces: the
  # schedulers, their backends and the simulators.
  for lab in "${LABS[@]}"; do
    netlab_down "$lab"
  done
  for pid in "$WORK"/*/cupsd/cupsd.pid; do
    [ -f "$pid" ] && cups_stop "$(dirname "$pid")"
  done
  if [ "$DEB_INSTALLED" = 1 ]; then
    dpkg_retry -r "$PACKAGE" >/dev/null 2>&1 || echo "cups e2e: could not remove $PACKAGE" >&2
  fi
  # Trace files the root lane made in root's home, by exact name.
  if [ -f "$WORK/trace-files" ]; then
    while read -r f; do rm -f -- "$f"; done < "$WORK/trace-files"
  fi
  local m
  for ((m = ${#MOUNTED[@]} - 1; m >= 0; m--)); do
    umount -l "${MOUNTED[$m]}" || echo "cups e2e: could not unmount ${MOUNTED[$m]}" >&2
  done
  rm -rf -- "$WORK"
  exit "$rc"
}
# Set again after the first lab is up, in place of the trap that netlab
# installs then: the lanes must be stopped before the labs go down.
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# dpkg ARGS... retried while another dpkg or apt holds the lock. Its log goes
# to the work area, and triggers (man-db's index) are left pending in the
# throw-away database instead of writing caches outside the overlays.
dpkg_retry() {
  local i out
  for i in $(seq 60); do
    if out=$(dpkg --no-triggers --log="$WORK/dpkg.log" "$@" 2>&1); then
      echo "$out"
      return 0
    fi
    if ! grep -q 'lock' <<<"$out"; then
      echo "$out"
      return 1
    fi
    sleep 1
  done
  echo "$out"
  return 1
}

# ---- shared checks ----------------------------------------------------------

# lpinfo_lines SOCK: runs lpinfo -l -v with its default timeout and prints one
# line per device, rebuilt from the fields in the backend's own line format:
#   class uri "make-and-model" "info" "device-id" "location"
# (a backend's fifth field, here the printer's IP address, is reported by the
# scheduler as device-id).
lpinfo_lines() {
  lpinfo -h "$1" -l -v | awk '
    function emit() { if (uri != "") printf "%s %s \"%s\" \"%s\" \"%s\" \"%s\"\n", cls, uri, mm, info, id, loc }
    /^Device: uri = / { emit(); uri = $0; sub(/^Device: uri = /, "", uri); cls = mm = info = id = loc = ""; next }
    /^ +location = /       { loc = $0;  sub(/^ +location = /, "", loc) }
    /^ +class = /          { cls = $0;  sub(/^ +class = /, "", cls) }
    /^ +info = /           { info = $0; sub(/^ +info = /, "", info) }
    /^ +make-and-model = / { mm = $0;   sub(/^ +make-and-model = /, "", mm) }
    /^ +device-id = /      { id = $0;   sub(/^ +device-id = /, "", id) }
    END { emit() }'
}

# check_listing LINES EXPECTED: LINES is lpinfo_lines output; EXPECTED holds
# rows "scheme|MAC|make-and-model|brand|ip". The program's lines (those of
# the five schemes) must be exactly the expected ones, each field whole and
# no location; the running number in
# "... Network Printer #n (...)" follows the order of the replies, so it is
# checked apart: 1 to the count of lines, once each, per scheme.
check_listing() {
  local lines=$1 expected=$2 names
  names=$(IFS='|'; echo "${CUPS_BRAND_NAMES[*]}")
  awk -F'|' '{ printf "network %s://%s \"%s\" \"%s Network Printer #N (%s)\" \"%s\" \"\"\n", $1, $2, $3, $4, $2, $5 }' \
    "$expected" | LC_ALL=C sort > "$expected.want"
  grep -E "^network ($names)://" "$lines" | sed -E 's/ Network Printer #[0-9]+ \(/ Network Printer #N (/' \
    | LC_ALL=C sort > "$expected.got"
  if ! diff -u "$expected.want" "$expected.got" > "$expected.diff"; then
    echo "   device lines of the program (- expected, + listed):" >&2
    sed 's/^/     /' "$expected.diff" >&2
    return 1
  fi
  local scheme numbers want
  for scheme in "${CUPS_BRAND_NAMES[@]}"; do
    numbers=$(grep -E "^network $scheme://" "$lines" \
      | sed -E 's/.* Network Printer #([0-9]+) \(.*/\1/' | sort -n | tr '\n' ' ')
    want=$(seq 1 "$(grep -c "^$scheme|" "$expected")" | tr '\n' ' ')
    if [ "$numbers" != "$want" ]; then
      echo "   $scheme: running numbers '$numbers', expected '$want'" >&2
      return 1
    fi
  done
}

# check_stock LINES: CUPS's own network backends are listed beside ours.
check_stock() {
  local uri
  for uri in socket ipp lpd; do
    grep -qE "^network $uri \"" "$1" || { echo "   stock backend $uri not listed" >&2; return 1; }
  done
}

# submit SOCK QUEUE FILE: prints the job id (QUEUE-n).
submit() {
  lp -h "$1" -d "$2" "$3" | sed -nE 's/^request id is ([^ ]+) .*/\1/p'
}

job_in() {  # job_in SOCK WHICH JOB: JOB is in lpstat's WHICH list
  lpstat -h "$1" -W "$2" -o | awk -v j="$3" '$1 == j { found = 1 } END { exit !found }'
}

# wait_completed SOCK JOB SECONDS
wait_completed() {
  local end=$(( SECONDS + $3 ))
  while [ $SECONDS -lt $end ]; do
    job_in "$1" completed "$2" && return 0
    sleep 0.1
  done
  return 1
}

# wait_file PATH SECONDS
wait_file() {
  local end=$(( SECONDS + $2 ))
  while [ $SECONDS -lt $end ]; do
    [ -f "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# backend_root DIR JOB: 0 or 1, whether the scheduler started the program for
# JOB (its number) as root, from its own debug log.
backend_root() {
  local n=${2##*-}
  sed -nE "s|.*cupsdStartProcess\(command=\"[^\"]*/backend/tamo\".* root=([01]),.*job=[^(]*\($n\).*|\1|p" \
    "$1/log/error_log" | head -n1
}

# diag DIR: the scheduler's lines about jobs and the program, for a failure.
diag() {
  {
    echo "   ---- $1/log/error_log (job and backend lines, last 25) ----"
    grep -E '\[Job [0-9]+\]|tamo|gprinter|solena|zalor|orbec|^E ' "$1/log/error_log" 2>/dev/null \
      | grep -v "envp\[" | tail -n 90 | sed 's/^/   /'
  } >&2
}

# ---- the printers -------------------------------------------------------------

# One row per simulated printer: MACUAA as the printer writes it, the MAC
# address that the program must show for it (bit-reversed bytes), IP address,
# 1284 device ID, PRINTERVIDPID (- for none), MDNSNAME.
PRINTERS=(
  "0123456789AB|80C4A2E691D5|10.77.0.20|MFG:Tamo;MDL:T1;|2E970042|Tamo-T1"
  "02468ACE1357|40625173C8EA|10.77.0.21|MFG:Tamo;MDL:T2;|-|Tamo-T2"
  "0F1E2D3C4B5A|F078B43CD25A|10.77.0.22|MFG:Acme;MDL:X9;|2E970001|acme-x9"
  "112233445566|8844CC22AA66|10.77.0.23|MFG:Korvane;MDL:K1;|5A210001|Korvane-K1"
  "8899AABBCCDD|119955DD33BB|10.77.0.24|MFG:SOLENA;MDL:S1;|-|SOLENA-S1"
  "A1B2C3D4E5F6|854DC32BA76F|10.77.0.25|MFG:Generic;MDL:Z1;|-|ZALOR-Z1"
  "3C4D5E6F7081|3CB27AF60E81|10.77.0.26|MFG:Orbec;MDL:O1;|-|Orbec-O1"
  "5A5A00C3E7FF|5A5A00C3E7FF|10.77.0.27|MFG:Acme;MDL:Office Printer 5;|-|acme-office"
  # Device IDs that try to reach other fields or break the line.
  '0A0B0C0D0E0F|50D030B070F0|10.77.0.28|MFG:Tamo;MDL:X" "Forged Info" "MFG:Other;MDL:Y;" "Room 1|2E970042|Tamo-Q1'
  '0A0B0C0D0E1F|50D030B070F8|10.77.0.29|MFG:Tamo;MDL:Odd " quote\|2E970042|Tamo-Q2'
  $'0A0B0C0D0E2F|50D030B070F4|10.77.0.30|MFG:Tamo;MDL:\xff\xfe\x9b;|2E970042|Tamo-Q3'
)

# sim_args INDEX...: the simulator's --printer options for those rows.
sim_args() {
  local i macuaa mac ip id vidpid mdns
  for i in "$@"; do
    IFS='|' read -r macuaa mac ip id vidpid mdns <<<"${PRINTERS[$i]}"
    printf '%s\n' --printer --macuaa "$macuaa" --ip "$ip" --device-id "$id" --mdns-name "$mdns"
    [ "$vidpid" != - ] && printf '%s\n' --vidpid "$vidpid"
  done
}

# lab_up LAB INDEX...: a netlab with those printers, each on its own address,
# and their jobs stored under $WORK/LAB/jobs.
lab_up() {
  local lab=$1 i args
  shift
  netlab_up "$lab" || return 1
  LABS+=("$lab")
  mkdir -p "$WORK/$lab/jobs"
  for i in "$@"; do
    netlab_add_printer_ip "$lab" "$(cut -d'|' -f3 <<<"${PRINTERS[$i]}")" || return 1
  done
  mapfile -t args < <(sim_args "$@")
  netlab_sim "$lab" --jobs-dir "$WORK/$lab/jobs" "${args[@]}"
}

# ---- lanes ------------------------------------------------------------------------

TAMO1_URI=tamo://80C4A2E691D5
JOB_FILE=$WORK/job.bin

# Listing: every brand name installed side by side, as the package installs
# them, so the scheduler runs all five at once; every printer of a brand is
# listed under its name, every printer under gprinter, and nothing else.
lane_listing() {
  local lab=$1 dir=$WORK/$1/cupsd
  step "listing: scheduler with the five names (0755) and the stock backends"
  cups_make "$dir" private && cups_install_program "$dir" 0755 "$NETBACKEND" \
    && cups_start "$dir" "$lab-h" || fail "scheduler did not start"
  ok
  step "listing: lpinfo -v (default options) lists the program's printers and the stock backends"
  lpinfo_lines "$dir/cups.sock" > "$WORK/$lab/lines" || fail "lpinfo failed"
  cat > "$WORK/$lab/expected" <<'EOF'
tamo|80C4A2E691D5|MFG:Tamo;MDL:T1;|Tamo|10.77.0.20
tamo|40625173C8EA|MFG:Tamo;MDL:T2;|Tamo|10.77.0.21
tamo|F078B43CD25A|Tamo MFG:Acme;MDL:X9;|Tamo|10.77.0.22
gprinter|80C4A2E691D5|MFG:Tamo;MDL:T1;|Tamo|10.77.0.20
gprinter|40625173C8EA|MFG:Tamo;MDL:T2;||10.77.0.21
gprinter|F078B43CD25A|Tamo MFG:Acme;MDL:X9;|Tamo|10.77.0.22
gprinter|8844CC22AA66|MFG:Korvane;MDL:K1;|Korvane|10.77.0.23
gprinter|119955DD33BB|MFG:SOLENA;MDL:S1;||10.77.0.24
gprinter|854DC32BA76F|MFG:Generic;MDL:Z1;||10.77.0.25
gprinter|3CB27AF60E81|MFG:Orbec;MDL:O1;||10.77.0.26
gprinter|5A5A00C3E7FF|MFG:Acme;MDL:Office Printer 5;|Printer|10.77.0.27
solena|119955DD33BB|MFG:SOLENA;MDL:S1;|SOLENA|10.77.0.24
zalor|854DC32BA76F|ZALOR MFG:Generic;MDL:Z1;|ZALOR|10.77.0.25
orbec|3CB27AF60E81|MFG:Orbec;MDL:O1;|Orbec|10.77.0.26
EOF
  # The hostile device IDs, each whole in its own field ('?' for bytes that
  # are not UTF-8).
  local scheme
  for scheme in tamo gprinter; do
    cat >> "$WORK/$lab/expected" <<EOF
$scheme|50D030B070F0|MFG:Tamo;MDL:X" "Forged Info" "MFG:Other;MDL:Y;" "Room 1|Tamo|10.77.0.28
$scheme|50D030B070F8|MFG:Tamo;MDL:Odd " quote\\|Tamo|10.77.0.29
$scheme|50D030B070F4|MFG:Tamo;MDL:???;|Tamo|10.77.0.30
EOF
  done
  check_listing "$WORK/$lab/lines" "$WORK/$lab/expected" || { diag "$dir"; fail "listing differs"; }
  check_stock "$WORK/$lab/lines" || fail "stock backends missing"
  ok "$(grep -cE '^network (tamo|solena|zalor|orbec|gprinter)://' "$WORK/$lab/lines") device lines as expected"
}

# print_and_check DIR LAB QUEUE IP N WHAT: prints the job file on QUEUE and
# checks that it completes and that exactly its bytes arrive as the
# simulator's N-th job at IP. Prints the job id.
print_and_check() {
  local dir=$1 lab=$2 queue=$3 ip=$4 n=$5 job
  job=$(submit "$dir/cups.sock" "$queue" "$JOB_FILE") && [ -n "$job" ] || fail "lp refused the job"
  wait_completed "$dir/cups.sock" "$job" 30 || { diag "$dir"; fail "job $job not completed within 30 s"; }
  wait_file "$WORK/$lab/jobs/$ip-$n.bin" 5 || fail "no $ip-$n.bin at the printer: $(ls "$WORK/$lab/jobs")"
  cmp "$JOB_FILE" "$WORK/$lab/jobs/$ip-$n.bin" || fail "bytes at the printer differ from the job"
  echo "$job"
}

# Jobs as lp (0755), then the printer moves to another address.
lane_jobs_lp() {
  local lab=$1 dir=$WORK/$1/cupsd job root
  step "jobs as lp: scheduler with the program installed 0755"
  cups_make "$dir" private && cups_install_program "$dir" 0755 "$NETBACKEND" \
    && cups_start "$dir" "$lab-h" || fail "scheduler did not start"
  lpadmin -h "$dir/cups.sock" -p tamo1 -E -v "$TAMO1_URI" || fail "lpadmin failed"
  ok
  step "jobs as lp: a $(stat -c %s "$JOB_FILE")-byte binary job reaches the printer at 10.77.0.20 intact"
  job=$(print_and_check "$dir" "$lab" tamo1 10.77.0.20 1) || exit 1
  root=$(backend_root "$dir" "$job")
  [ "$root" = 0 ] || fail "scheduler started the program with root=${root:-?}, expected 0 (lp)"
  ok "$job completed, run as lp"
  step "jobs as lp: the printer moves to 10.77.0.21 (same MAC); the next job follows it"
  netlab_sim_stop "$lab" || fail "simulator did not stop cleanly"
  netlab_add_printer_ip "$lab" 10.77.0.21 || fail "cannot add 10.77.0.21"
  netlab_sim "$lab" --jobs-dir "$WORK/$lab/jobs" --printer --macuaa 0123456789AB \
    --ip 10.77.0.21 --device-id "MFG:Tamo;MDL:T1;" --vidpid 2E970042 --mdns-name Tamo-T1 \
    || fail "simulator did not start on 10.77.0.21"
  job=$(print_and_check "$dir" "$lab" tamo1 10.77.0.21 1) || exit 1
  [ "$(ls "$WORK/$lab/jobs" | tr '\n' ' ')" = "10.77.0.20-1.bin 10.77.0.21-1.bin " ] \
    || fail "unexpected jobs at the printer: $(ls "$WORK/$lab/jobs")"
  ok "$job completed at the new address"
}

# A job as root (0700), traced: the trace file lands in root's home.
lane_jobs_root() {
  local lab=$1 dir=$WORK/$1/cupsd job root pid trace
  step "job as root: scheduler with the program installed 0700, full-trace marker in its TempDir"
  cups_make "$dir" private && cups_install_program "$dir" 0700 "$NETBACKEND" \
    && cups_start "$dir" "$lab-h" || fail "scheduler did not start"
  lpadmin -h "$dir/cups.sock" -p tamo1 -E -v "$TAMO1_URI" || fail "lpadmin failed"
  # After the start: the scheduler empties its TempDir when it starts.
  install -m 0600 /dev/null "$dir/spool/tmp/.slog"
  ok
  step "job as root: the job reaches the printer intact and the trace tells the hand-over"
  job=$(print_and_check "$dir" "$lab" tamo1 10.77.0.20 1) || exit 1
  root=$(backend_root "$dir" "$job")
  [ "$root" = 1 ] || fail "scheduler started the program with root=${root:-?}, expected 1"
  pid=$(sed -nE "s|.*\[Job ${job##*-}\] Started backend .*/backend/tamo \(PID ([0-9]+)\).*|\1|p" \
    "$dir/log/error_log" | head -n1)
  [ -n "$pid" ] || fail "no backend pid in the scheduler's log"
  trace="$ROOT_HOME/tamo|$pid.log"
  echo "$trace" >> "$WORK/trace-files"
  [ -f "$trace" ] || fail "no trace file $trace"
  grep -q "| discovered ip 10.77.0.20 for 80C4A2E691D5 \[src/netbackend-" "$trace" \
    || fail "trace lacks 'discovered ip 10.77.0.20 for 80C4A2E691D5': $(cat "$trace")"
  grep -q "| Executing backend $dir/serverbin/backend/socket with URI: socket://10.77.0.20 \[src/netbackend-" "$trace" \
    || fail "trace lacks the hand-over line: $(cat "$trace")"
  rm -f -- "$trace"
  ok "$job completed, run as root, trace $trace checked and removed"
}

# A printer that never answers: the job is not printed; the queue follows its
# error policy (stop-printer stops it; Debian's retry-job holds the job), and
# the administrator reads why in the queue's and the job's state. A host
# without the socket backend cannot hand a found printer its job: the job
# is not completed either.
lane_no_answer() {
  local lab=$1 dir=$WORK/$1/cupsd sock jobs jobr jobn t0 waited
  step "no answer: scheduler (0755) without a socket backend, queues for MACs nobody has"
  cups_make "$dir" private && cups_install_program "$dir" 0755 "$NETBACKEND" \
    && rm "$dir/serverbin/backend/socket" && cups_start "$dir" "$lab-h" \
    || fail "scheduler did not start"
  sock=$dir/cups.sock
  lpadmin -h "$sock" -p stopq -E -v tamo://0000000000AA -o printer-error-policy=stop-printer \
    && lpadmin -h "$sock" -p retryq -E -v tamo://0000000000BB \
    && lpadmin -h "$sock" -p nosockq -E -v "$TAMO1_URI" || fail "lpadmin failed"
  ok
  step "no answer: after the 15 s discovery the job fails; stop-printer stops the queue, retry-job holds the job"
  t0=${EPOCHREALTIME/./}
  jobs=$(submit "$sock" stopq "$JOB_FILE") && jobr=$(submit "$sock" retryq "$JOB_FILE") \
    && jobn=$(submit "$sock" nosockq "$JOB_FILE") \
    && [ -n "$jobs" ] && [ -n "$jobr" ] && [ -n "$jobn" ] || fail "lp refused a job"
  local end=$((SECONDS + 40))
  while [ $SECONDS -lt $end ]; do
    lpstat -h "$sock" -p stopq | grep -q '^printer stopq disabled' && break
    sleep 0.1
  done
  waited=$(since "$t0")
  lpstat -h "$sock" -p stopq | grep -q '^printer stopq disabled' \
    || { diag "$dir"; fail "queue stopq not stopped after 40 s"; }
  # The backend must have waited out its discovery, not given up at once.
  [ $(( ${EPOCHREALTIME/./} - t0 )) -ge 14500000 ] \
    || fail "queue stopped after $waited: the backend gave up before its 15 s discovery"
  # Both backends started together; give the second a moment to be reaped.
  for _ in $(seq 50); do
    lpstat -h "$sock" -l -o retryq | grep -q 'Alerts: .*resources-are-not-ready' && break
    sleep 0.1
  done
  lpstat -h "$sock" -l -o retryq | grep -q 'Alerts: .*resources-are-not-ready' \
    || fail "retryq's job not held for retry: $(lpstat -h "$sock" -l -o retryq)"
  local j
  for j in "$jobs" "$jobr" "$jobn"; do
    grep -q "\[Job ${j##*-}\] Backend returned status 1 (failed)" "$dir/log/error_log" \
      || { diag "$dir"; fail "no 'Backend returned status 1' for $j"; }
    job_in "$sock" completed "$j" && fail "$j reported as completed"
    job_in "$sock" not-completed "$j" || fail "$j not in the not-completed list"
  done
  lpstat -h "$sock" -p retryq | grep -q '^printer retryq is idle' \
    || fail "retryq not idle: $(lpstat -h "$sock" -p retryq)"
  ok "stopped after $waited; $jobs, $jobr and $jobn not completed"
  step "no answer: the queues and the jobs say why"
  local q mac why
  for q in "stopq 0000000000AA" "retryq 0000000000BB"; do
    read -r q mac <<<"$q"
    why="Printer $mac did not answer within 15 seconds"
    lpstat -h "$sock" -l -p "$q" | grep -qF "$why" \
      || fail "lpstat -l -p $q lacks '$why': $(lpstat -h "$sock" -l -p "$q")"
  done
  why="Could not run the socket backend $dir/serverbin/backend/socket: No such file or directory"
  lpstat -h "$sock" -l -p nosockq | grep -qF "$why" \
    || fail "lpstat -l -p nosockq lacks '$why': $(lpstat -h "$sock" -l -p nosockq)"
  cat > "$WORK/$lab/job-message.test" <<'EOF'
{ OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri job-uri $uri
  ATTR name requesting-user-name root
  ATTR keyword requested-attributes job-printer-state-message
  DISPLAY job-printer-state-message }
EOF
  for j in "$jobr:Printer 0000000000BB did not answer within 15 seconds" "$jobn:$why"; do
    why=${j#*:} j=${j%%:*}
    ipptool -T 10 -t "ipp://${sock//\//%2F}/jobs/${j##*-}" "$WORK/$lab/job-message.test" \
      > "$WORK/$lab/attrs" 2>&1
    grep -qF "job-printer-state-message (textWithoutLanguage) = $why" "$WORK/$lab/attrs" \
      || fail "job $j: job-printer-state-message is not '$why': $(cat "$WORK/$lab/attrs")"
  done
  ok "state messages as the backend wrote them"
}

# The installed package: the scheduler's ServerBin is the system's, so the
# listing runs exactly the files that dpkg installed: the four brand names,
# and no gprinter. Also what a maintainer's review checks: lintian, the
# hardening of the installed program, the man page.
lane_package() {
  local lab=$1 dir=$WORK/$1/cupsd page=/usr/share/man/man8/netbackend.8.gz
  step "package: lintian, hardening-check and the man page"
  lintian --fail-on error,warning "$DEB" "$GP_DEB" >"$WORK/lintian.log" 2>&1 \
    || { cat "$WORK/lintian.log"; fail "lintian reports errors or warnings"; }
  # Debian 12's C start files carry no control-flow protection note, so no
  # program linked on it can have one: that check is skipped.
  hardening-check --nocfprotection "$CUPS_SYSTEM_SERVERBIN/backend/tamo" \
    /usr/sbin/netbackend-probe >"$WORK/hardening.log" \
    || { cat "$WORK/hardening.log"; fail "hardening-check failed"; }
  for page in "$page" /usr/share/man/man8/netbackend-probe.8.gz; do
    mandoc -T lint -W all "$page" || fail "mandoc -T lint reports on $page"
    [ -z "$(MANWIDTH=80 man -l "$page" 2>&1 | awk 'length > 80')" ] \
      || fail "$page has lines wider than 80 columns"
  done
  ok
  step "package: the installed probe finds the installed names and judges the printers"
  ip netns exec "$lab-h" /usr/sbin/netbackend-probe --seconds 2 --json >"$WORK/$lab/probe" \
    || fail "netbackend-probe failed: $(cat "$WORK/$lab/probe")"
  [ "$(tail -n 1 "$WORK/$lab/probe" | grep -o '"printers":{[^}]*}')" \
    = '"printers":{"orbec":0,"solena":1,"tamo":1,"zalor":0}' ] \
    || fail "the probe's summary differs: $(tail -n 1 "$WORK/$lab/probe")"
  ok
  step "package: scheduler whose ServerBin is the system's $CUPS_SYSTEM_SERVERBIN"
  cups_make "$dir" "$CUPS_SYSTEM_SERVERBIN" && cups_start "$dir" "$lab-h" \
    || fail "scheduler did not start"
  ok
  step "package: lpinfo -v lists the printers through the installed names"
  lpinfo_lines "$dir/cups.sock" > "$WORK/$lab/lines" || fail "lpinfo failed"
  cat > "$WORK/$lab/expected" <<'EOF'
tamo|80C4A2E691D5|MFG:Tamo;MDL:T1;|Tamo|10.77.0.20
solena|119955DD33BB|MFG:SOLENA;MDL:S1;|SOLENA|10.77.0.24
EOF
  check_listing "$WORK/$lab/lines" "$WORK/$lab/expected" || { diag "$dir"; fail "listing differs"; }
  check_stock "$WORK/$lab/lines" || fail "stock backends missing"
  ok
}

# ---- main ---------------------------------------------------------------------------

echo "== cups e2e: $NETBACKEND"
step "setup: job file, package, labs and simulators"
for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done > "$WORK/block"
for i in $(seq 20); do cat "$WORK/block"; done > "$JOB_FILE"
chmod 0644 "$JOB_FILE"

DEB=$(ls -t "$BINARY_DIR"/${PACKAGE}_*.deb 2>/dev/null | head -n1)
GP_DEB=$(ls -t "$BINARY_DIR"/${PACKAGE}-gprinter_*.deb 2>/dev/null | head -n1)
if [ -z "$DEB" ] || [ -z "$GP_DEB" ] || [ "$DEB" -ot "$NETBACKEND" ]; then
  echo "   building the packages: the deb target in $BINARY_DIR"
  # The lock: the other package suites may build them at the same time.
  flock "$BINARY_DIR/deb.lock" cmake --build "$BINARY_DIR" --target deb >"$WORK/deb.log" 2>&1 \
    || { cat "$WORK/deb.log"; fail "building the packages failed"; }
  DEB=$(ls -t "$BINARY_DIR"/${PACKAGE}_*.deb | head -n1)
  GP_DEB=$(ls -t "$BINARY_DIR"/${PACKAGE}-gprinter_*.deb | head -n1)
fi

ID=$$
LAB_LIST=ce${ID}l LAB_LP=ce${ID}j LAB_ROOT=ce${ID}r LAB_NONE=ce${ID}n LAB_PKG=ce${ID}d
lab_up "$LAB_LIST" 0 1 2 3 4 5 6 7 8 9 10 || fail "lab $LAB_LIST"
trap cleanup EXIT
lab_up "$LAB_LP" 0 || fail "lab $LAB_LP"
lab_up "$LAB_ROOT" 0 || fail "lab $LAB_ROOT"
lab_up "$LAB_NONE" 0 || fail "lab $LAB_NONE"
lab_up "$LAB_PKG" 0 4 || fail "lab $LAB_PKG"
ok "${#LABS[@]} labs, package $(basename "$DEB")"

step "package: overlays over ${PKG_OVERLAYS[*]}, then dpkg -i $(basename "$DEB")"
mkdir "$WORK/overlays" && mount -t tmpfs -o mode=0700 cups-e2e "$WORK/overlays" \
  || fail "cannot mount a tmpfs"
MOUNTED+=("$WORK/overlays")
for d in "${PKG_OVERLAYS[@]}"; do
  o=$WORK/overlays/${d//\//_}
  # The overlay's root takes its owner and mode from the upper directory.
  mkdir -p "$o/upper" "$o/work" && chown --reference="$d" "$o/upper" \
    && chmod --reference="$d" "$o/upper" \
    && mount -t overlay overlay -o "lowerdir=$d,upperdir=$o/upper,workdir=$o/work" "$d" \
    || fail "cannot mount an overlay over $d"
  MOUNTED+=("$d")
done
# In the copies only: a netbackend installed on the machine makes way, so
# that exactly the package's files are checked.
dpkg_retry --purge "$PACKAGE-gprinter" "$PACKAGE" >"$WORK/dpkg-purge.log" \
  || { cat "$WORK/dpkg-purge.log"; fail "dpkg --purge failed"; }
rm -f -- "${CUPS_BRAND_NAMES[@]/#/$CUPS_SYSTEM_SERVERBIN/backend/}"
DEB_INSTALLED=1
dpkg_retry -i "$DEB" >"$WORK/dpkg-i.log" || { cat "$WORK/dpkg-i.log"; fail "dpkg -i failed"; }
listed=$(dpkg -L "$PACKAGE")
for f in "${PKG_NAMES[@]/#/$CUPS_SYSTEM_SERVERBIN/backend/}" /usr/share/man/man8/netbackend.8.gz \
    /usr/sbin/netbackend-probe /usr/share/man/man8/netbackend-probe.8.gz \
    /usr/share/doc/netbackend/copyright /usr/share/doc/netbackend/changelog.gz; do
  grep -qx "$f" <<<"$listed" || fail "dpkg -L $PACKAGE lacks $f"
done
while read -r f; do
  inside=0
  for d in "${PKG_OVERLAYS[@]}"; do [[ $f == "$d"/* ]] && inside=1; done
  [ -d "$f" ] || [ $inside = 1 ] || fail "dpkg installed $f outside the overlays"
done <<<"$listed"
for name in "${PKG_NAMES[@]}"; do
  f=$CUPS_SYSTEM_SERVERBIN/backend/$name
  [ "$(stat -c '%F %a %U:%G' "$f")" = "regular file 755 root:root" ] \
    || fail "$f is $(stat -c '%F %a %U:%G' "$f"), expected a regular file 755 root:root"
done
# One file under four names: one inode, four links.
links=$(stat -c '%i %h' "${PKG_NAMES[@]/#/$CUPS_SYSTEM_SERVERBIN/backend/}" | sort -u)
[ "$(wc -l <<<"$links")" = 1 ] && [ "${links#* }" = "${#PKG_NAMES[@]}" ] \
  || fail "the names are not hard links of one file (inode, links): $(echo $links)"
[ -e "$CUPS_SYSTEM_SERVERBIN/backend/gprinter" ] && fail "gprinter installed by $PACKAGE"
[ "$("$CUPS_SYSTEM_SERVERBIN/backend/tamo" -v)" = "$NETBACKEND_QUERY_VERSION" ] \
  || fail "installed tamo -v is not $NETBACKEND_QUERY_VERSION"
f=/usr/share/doc/netbackend/copyright
[ "$(head -n1 "$f")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] \
  && grep -qx 'License: Apache-2.0' "$f" || fail "$f is not a machine-readable Apache-2.0 copyright file"
[ "$(zcat /usr/share/doc/netbackend/changelog.gz | dpkg-parsechangelog -l- -SVersion)" = "$NETBACKEND_VERSION" ] \
  || fail "changelog.gz has no entry for $NETBACKEND_VERSION on top"
# gprinter only when asked for: its package adds it and takes it away again.
dpkg_retry -i "$GP_DEB" >"$WORK/dpkg-i.log" || { cat "$WORK/dpkg-i.log"; fail "dpkg -i $GP_DEB failed"; }
[ "$("$CUPS_SYSTEM_SERVERBIN/backend/gprinter" -v)" = "$NETBACKEND_QUERY_VERSION" ] \
  || fail "gprinter -v is not $NETBACKEND_QUERY_VERSION"
dpkg_retry -r "$PACKAGE-gprinter" >"$WORK/dpkg-r.log" || { cat "$WORK/dpkg-r.log"; fail "dpkg -r failed"; }
[ -e "$CUPS_SYSTEM_SERVERBIN/backend/gprinter" ] && fail "gprinter left after dpkg -r $PACKAGE-gprinter"
ok "four names, one file, 0755 root:root; man page, copyright, changelog; gprinter on request"

LANES=(listing jobs_lp jobs_root no_answer package)
LANE_LABS=("$LAB_LIST" "$LAB_LP" "$LAB_ROOT" "$LAB_NONE" "$LAB_PKG")
for i in "${!LANES[@]}"; do
  ( trap - EXIT INT TERM HUP
    t0=${EPOCHREALTIME/./}
    "lane_${LANES[$i]}" "${LANE_LABS[$i]}"
    echo "   lane ${LANES[$i]} passed in $(since "$t0")" ) > "$WORK/lane-${LANES[$i]}.log" 2>&1 &
  LANE_PIDS+=($!)
done

failed=0
for i in "${!LANES[@]}"; do
  wait "${LANE_PIDS[$i]}" || failed=1
  cat "$WORK/lane-${LANES[$i]}.log"
done
LANE_PIDS=()

step "package: dpkg -r $PACKAGE"
dpkg_retry -r "$PACKAGE" >"$WORK/dpkg-r.log" || { cat "$WORK/dpkg-r.log"; fail "dpkg -r failed"; }
DEB_INSTALLED=0
for name in "${PKG_NAMES[@]}"; do
  [ -e "$CUPS_SYSTEM_SERVERBIN/backend/$name" ] && fail "$name still installed after dpkg -r"
done
ok

echo "== cups e2e: $([ $failed = 0 ] && echo passed || echo FAILED) in $(since "$SUITE_T0")"
exit "$failed"
