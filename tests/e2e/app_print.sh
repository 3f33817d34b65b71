#!/usr/bin/env bash
# The printer application printing, end to end, on a host without Avahi
# (lib/app.sh gives it no system bus), to a simulated printer whose print
# port stores every job:
#   devices  the devices subcommand lists the printer, with its address
#            learnt for the jobs;
#   raster   PWG and Apple raster, 300 and 600 dpi, A4 and Letter, each in
#            a Print-Job: the job completes, and the PCL at the printer
#            decodes to the client's raster row for row (pcl_compare);
#   raw      a PCL document sent with the submit subcommand arrives byte for
#            byte;
#   hostile  a raster of a type, a resolution or a header the printer does
#            not take, a raster cut short, an empty document and a format
#            the printer does not list: each gets an IPP error or ends
#            aborted with a reason, nothing it printed is wrong, and the
#            printer answers the next request;
#   moved    the printer leaves its address for another between two jobs,
#            and another device takes the old one: while the printer is
#            away the second job says why it waits, then follows it, and
#            nothing reaches the old address;
#   restart  jobs accepted while the printer is away survive SIGTERM (which
#            ends the server within seconds) and SIGKILL, then print by
#            themselves, each once, in order, over a connection each;
#   slow     a printer that reads slowly: IPP answers within a second;
#   cut      a chunked upload that stops short prints nothing;
#   log      a log file that cannot be opened keeps the server from starting.
# Needs root. Env: see lib/app.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/app.sh source-path=SCRIPTDIR
source "$here/lib/app.sh"
app_init print

lab=appp$$
netlab_up "$lab"
dir=$(netlab_tmpdir "$lab")
jobs=$dir/jobs
docs=$E2E_TMP/docs
mkdir -p "$docs"
MAC=80C4A2E691D5
sim_at() {
  netlab_sim "$lab" --jobs-dir "$jobs" --printer --macuaa 0123456789AB --ip "$1" \
    --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;CMD:PCL;'
}
sim_at 10.77.0.2
app_start "$lab"
app_cmd "$lab" devices >"$E2E_TMP/devices" 2>&1 &
devices=$!

app_document "$docs/doc2.ps" 2
app_document "$docs/doc1.ps" 1
for kind in pwg urf; do
  for dpi in 300 600; do
    for paper in a4 letter; do
      app_raster "$docs/doc2.ps" "$docs/$paper-$dpi.$kind" "$kind" "$dpi" "$paper"
    done
  done
done
app_raster "$docs/doc1.ps" "$docs/page1.pwg" pwg 300 a4

st=0
wait "$devices" || st=$?
e2e_expect_eq "devices: exit status" "$st" 0
grep -q "tamo://$MAC\$" "$E2E_TMP/devices" ||
  e2e_fail "devices: tamo://$MAC is not listed: $(cat "$E2E_TMP/devices")"
app_add "$lab" p "tamo://$MAC" pcl

# printed IP: the file of the first job the printer at IP received after
# the `before` it had, once stored; fails after 10 s without one.
printed() {
  local file=$jobs/$1-$((before + 1)).bin
  app_wait_file "$file" 10 && echo "$file"
}
count() { find "$jobs" -name "$1-*.bin" 2>/dev/null | wc -l; }

# --- raster: every combination, each decoded at the printer ---
for kind in pwg urf; do
  format=image/pwg-raster
  [[ $kind == urf ]] && format=image/urf
  for file in "$docs"/*."$kind"; do
    name=$(basename "$file")
    out=$E2E_TMP/$name.out
    before=$(count 10.77.0.2)
    app_print "$lab" "$out" p "$file" "$format" || continue
    e2e_expect_eq "$name: Print-Job" "$(app_status "$out")" successful-ok
    e2e_expect_eq "$name: job-state" "$(app_job "$out" job-state)" completed
    if got=$(printed 10.77.0.2); then
      "$PCL_COMPARE" "$file" "$got" >"$out.compare" 2>&1 ||
        e2e_fail "$name: what the printer received is not the raster sent: $(cat "$out.compare")"
    else
      e2e_fail "$name: nothing reached the printer"
    fi
  done
done

# --- raw: the printer's own language, as it came ---
{
  printf '\033E'
  for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done
  printf '\033E'
} >"$docs/raw.pcl"
before=$(count 10.77.0.2)
# The type as ipptool writes it for .pcl files: MIME types have no case.
app_cmd "$lab" submit -d p -o document-format=application/vnd.hp-PCL "$docs/raw.pcl" >/dev/null ||
  e2e_fail "raw: the submit subcommand failed"
if got=$(printed 10.77.0.2); then
  cmp -s "$docs/raw.pcl" "$got" || e2e_fail "raw: the printer received other bytes than were sent"
else
  e2e_fail "raw: nothing reached the printer"
fi

# --- hostile clients ---
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r300 -sPAPERSIZE=a4 -dcupsColorSpace=3 \
  -dcupsBitsPerColor=1 -sOutputFile="$docs/black1.pwg" "$docs/doc1.ps" 2>/dev/null
app_raster "$docs/doc1.ps" "$docs/150dpi.pwg" pwg 150 a4
# A header whose line length does not fit its width (cupsBytesPerLine,
# 4 + 392 bytes into the file).
cp "$docs/page1.pwg" "$docs/lying.pwg"
bpl=$(printf '%08x' $(($(od -An -tu1 -j 376 -N 4 "$docs/page1.pwg" |
  awk '{print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4}') + 8)))
printf "\\x${bpl:0:2}\\x${bpl:2:2}\\x${bpl:4:2}\\x${bpl:6:2}" |
  dd of="$docs/lying.pwg" bs=1 seek=396 conv=notrunc status=none
# Cut 1000 bytes into the second page's rows (its header is the second
# "PwgRaster" media class).
second=$(grep -obUa PwgRaster "$docs/a4-300.pwg" | sed -n '2s/:.*//p')
head -c $((second + 1796 + 1000)) "$docs/a4-300.pwg" >"$docs/cut.pwg"
: >"$docs/empty.pwg"
echo '<html><body>A page in a format no printer here lists</body></html>' >"$docs/page.html"

# hostile NAME FILE FORMAT AS-SENT [IPPTOOL-OPTIONS]: refused with an IPP
# error or aborted with a reason (a keyword and a message besides the
# defaults), or, if AS-SENT names a raster, completed with what the printer
# received decoding to it. Prints the outcome.
hostile() {
  local name=$1 out=$E2E_TMP/$1.out status state reasons message
  before=$(count 10.77.0.2)
  app_print "$lab" "$out" p "$2" "$3" "${@:5}" || return 0
  status=$(app_status "$out")
  if [[ $status != successful-ok ]]; then
    echo "$name: $status"
    return 0
  fi
  state=$(app_job "$out" job-state) reasons=$(app_job "$out" job-state-reasons)
  message=$(app_job "$out" job-state-message)
  echo "$name: $state ($reasons) $message"
  if [[ $state == completed && $4 != - ]]; then
    "$PCL_COMPARE" "$4" "$jobs/10.77.0.2-$((before + 1)).bin" >"$out.compare" 2>&1 ||
      e2e_fail "$name: completed, and the printer received other pages than were sent: $(cat "$out.compare")"
    return 0
  fi
  [[ $state == aborted ]] || e2e_fail "$name: accepted and $state, not aborted"
  [[ $reasons != none && $reasons != job-completed-successfully && -n $message ]] ||
    e2e_fail "$name: aborted without a reason ($reasons: '$message')"
}

# pages_printed: the pages of the jobs the printer received since `before`.
pages_printed() {
  local n=0 f i
  # A job the application closed is stored once the simulator has read it.
  sleep 0.2
  for ((i = 0; i < 50; i++)); do
    compgen -G "$jobs/.10.77.0.2-*.part" >/dev/null || break
    sleep 0.1
  done
  for ((i = before + 1; i <= $(count 10.77.0.2); i++)); do
    f=$("$PCL_COMPARE" --pages "$jobs/10.77.0.2-$i.bin") || { echo undecodable; return; }
    n=$((n + f))
  done
  echo "$n"
}

# A type the printer does not list must not come out as something else.
hostile black1 "$docs/black1.pwg" image/pwg-raster "$docs/black1.pwg"
for name in 150dpi lying empty; do
  hostile "$name" "$docs/$name.pwg" image/pwg-raster -
  e2e_expect_eq "$name: pages printed" "$(pages_printed)" 0
done
# Cut short in a request of known length: the first page was whole and
# may print; the second must not.
hostile cut "$docs/cut.pwg" image/pwg-raster - -L
printed=$(pages_printed)
if [[ $printed != 0 ]]; then
  "$PCL_COMPARE" "$docs/page1.pwg" "$jobs/10.77.0.2-$((before + 1)).bin" >/dev/null 2>&1 ||
    e2e_fail "cut: the printer received other pages than the whole first one ($printed pages)"
fi
hostile html "$docs/page.html" text/html -
e2e_expect_eq "html: Print-Job" "$(app_status "$E2E_TMP/html.out")" \
  client-error-document-format-not-supported

# --- moved: the address goes; while the printer is away its job says so;
# the printer comes back at another address ---
# Its old address stays in the printer namespace, whose print port takes
# connections on every address: another device at the old address.
netlab_sim_stop "$lab"
netlab_add_printer_ip "$lab" 10.77.0.3
stranger=$(count 10.77.0.2)
before=0
start=$SECONDS
app_print "$lab" "$E2E_TMP/moved.out" p "$docs/page1.pwg" image/pwg-raster &
moving=$!
sleep 4
app_ipptool "$lab" "$E2E_TMP/waiting.out" -v "$(app_uri p)" "$here/lib/app_jobs.test" || true
grep -qi "job-state-message (textWithoutLanguage) = .*printer $MAC" "$E2E_TMP/waiting.out" ||
  e2e_fail "moved: the waiting job does not say why: $(grep job-state "$E2E_TMP/waiting.out")"
sim_at 10.77.0.3
wait "$moving" || true
e2e_expect_eq "moved: job-state" "$(app_job "$E2E_TMP/moved.out" job-state)" completed
if got=$(printed 10.77.0.3); then
  echo "moved: printed at the new address after $((SECONDS - start)) s"
  "$PCL_COMPARE" "$docs/page1.pwg" "$got" >/dev/null || e2e_fail "moved: the page differs"
else
  e2e_fail "moved: nothing reached the printer at 10.77.0.3"
fi
e2e_expect_eq "moved: jobs at the old address" "$(count 10.77.0.2)" "$stranger"

# --- restart: jobs accepted while the printer is away ---
netlab_sim_stop "$lab"
submit() {
  printf '\033E%s\033E' "$1" >"$docs/$1.pcl"
  app_cmd "$lab" submit -d p -o document-format=application/vnd.hp-pcl "$docs/$1.pcl" >/dev/null ||
    e2e_fail "restart: $1 was not accepted"
}
restart() {  # SIGNAL: ends the server with it, then starts it again
  local pid=${_APP_PID[$lab]} start=$SECONDS
  kill "-$1" "$pid"
  _netlab_stop_pid "$pid" >/dev/null || true
  [[ $1 == KILL ]] || ((SECONDS - start < 5)) || e2e_fail "restart: SIGTERM took $((SECONDS - start)) s"
  unset "_APP_PID[$lab]"
  app_start "$lab"
}
# Each simulator counts its jobs from 1: a folder of its own.
jobs=$dir/jobs-restart
submit first
submit second
restart TERM
submit third
restart KILL
before=0
sim_at 10.77.0.3
for name in first second third; do
  if got=$(printed 10.77.0.3); then
    cmp -s "$docs/$name.pcl" "$got" || e2e_fail "restart: job $((before + 1)) is not the $name job"
  else
    e2e_fail "restart: the $name job did not print"
  fi
  before=$((before + 1))
done
sleep 1
e2e_expect_eq "restart: jobs printed" "$(count 10.77.0.3)" 3

# --- slow: IPP answers while a printer that reads slowly takes a job ---
netlab_sim_stop "$lab"
jobs=$dir/jobs-slow
netlab_sim "$lab" --jobs-dir "$jobs" --read-bytes-per-second 100000 --printer \
  --macuaa 0123456789AB --ip 10.77.0.3 --vidpid 2E970042 --device-id 'MFG:Tamo;MDL:T1;CMD:PCL;'
head -c 400000 /dev/zero >"$docs/slow.pcl"
app_cmd "$lab" submit -d p -o document-format=application/vnd.hp-pcl "$docs/slow.pcl" >/dev/null
slowest=0
for ((i = 0; i < 8; i++)); do
  t=$(date +%s%N)
  app_ipptool "$lab" "$E2E_TMP/slow.out" "$(app_uri p)" "$here/lib/app_jobs.test" ||
    e2e_fail "slow: Get-Jobs failed"
  t=$((($(date +%s%N) - t) / 1000000))
  ((t > slowest)) && slowest=$t
  sleep 0.5
done
echo "slow: the slowest answer took $slowest ms"
((slowest < 1000)) || e2e_fail "slow: an answer took $slowest ms"

# --- cut: a chunked upload announces 4096 bytes, sends 20 and closes ---
before=$(count 10.77.0.3)
netlab_run_host "$lab" python3 - "$APP_PORT" <<'PY'
import socket, struct, sys
def attr(tag, name, value):
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
ipp = struct.pack(">BBHI", 2, 0, 2, 1) + b"\x01" + attr(0x47, b"attributes-charset", b"utf-8") + \
    attr(0x48, b"attributes-natural-language", b"en") + \
    attr(0x45, b"printer-uri", b"ipp://127.0.0.1/ipp/print/p") + \
    attr(0x42, b"requesting-user-name", b"cut") + \
    attr(0x49, b"document-format", b"application/vnd.hp-pcl") + b"\x03"
body = b"%x\r\n" % len(ipp) + ipp + b"\r\n" + b"1000\r\n" + b"\x1bEcut short after"
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"POST /ipp/print/p HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/ipp\r\n"
          b"Transfer-Encoding: chunked\r\n\r\n" + body)
s.shutdown(socket.SHUT_WR)
s.recv(4096)
PY
sleep 2
e2e_expect_eq "cut: jobs printed" "$(count 10.77.0.3)" "$before"
app_ipptool "$lab" "$E2E_TMP/cut.out" -d which=completed "$(app_uri p)" "$here/lib/app_jobs.test" ||
  true

app_stop "$lab"

# --- log: a log file that cannot be opened ---
said=$(app_run "$lab" "$APP" server -o server-port=8632 -o log-file=/proc/nowhere/app.log 2>&1) &&
  e2e_fail "log: the server started without its log file"
[[ $said == *"/proc/nowhere/app.log"* ]] || e2e_fail "log: the refusal does not name the file: $said"
e2e_finish
