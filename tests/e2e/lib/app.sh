# shellcheck shell=bash
# app.sh: the printer application in a netlab, for the app_*.sh suites, on
# top of e2e.sh: its server in the lab's host namespace, its command line,
# the documents clients send, and ipptool runs against it.
#
# Source it after `set -euo pipefail`, then call app_init NAME.
# Env: APP (the built netbackend-printer-app), PCL_COMPARE (tests/pcl_compare),
# PRINTER_SIM, NETBACKEND (e2e.sh wants it), SOURCE_DIR (the checkout).
#
# The server of lab LAB keeps everything under $(netlab_tmpdir LAB)/app:
#   state/  SNAP_COMMON, TMPDIR and HOME: papplMainloop's state file and the
#           socket its subcommands find the server by (as root it would use
#           /var/lib and /run, shared with an installed copy and other runs)
#   spool/  -o spool-directory
#   log     -o log-file, at debug level
#   out     standard output and error (a sanitizer's report lands here)
#   bus     the lab's system bus: a dbus-daemon of its own, which nothing
#           else joins
# and it listens on 127.0.0.1:$APP_PORT of the lab's own loopback.
# The server and its subcommands see that bus (DBUS_SYSTEM_BUS_ADDRESS) and
# so no avahi-daemon: the machine's would announce the printers and browse
# on the real network for them. The suites meet the application as on a
# host without Avahi, the case where PAPPL's own DNS-SD listing aborts.

_app_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=e2e.sh source-path=SCRIPTDIR
source "$_app_here/e2e.sh"

APP_PORT=8631
declare -gA _APP_PID=()
# ipptool's conformance files.
APP_IPPTOOL_DIR=${APP_IPPTOOL_DIR:-/usr/share/cups/ipptool}

# app_init NAME: e2e_init, and the programs the suites need.
app_init() {
  e2e_init "$1"
  [[ -x ${APP:-} ]] || { echo "$1: APP must name the built netbackend-printer-app" >&2; exit 1; }
  [[ -x ${PCL_COMPARE:-} ]] || { echo "$1: PCL_COMPARE must name the built pcl_compare" >&2; exit 1; }
  local c
  for c in ipptool gs dbus-daemon; do
    command -v "$c" >/dev/null || { echo "$1: needs $c (tools/install-deps.sh)" >&2; exit 1; }
  done
}

_app_dir() { echo "$(netlab_tmpdir "$1")/app"; }

# _app_env LAB: APP_ENV, the env command line of LAB's server and its
# subcommands (in an ASan build, with the leaks and the shutdown race that
# are PAPPL's own waved through).
_app_env() {
  local dir
  dir=$(_app_dir "$1")
  APP_ENV=(env SNAP_COMMON="$dir/state" TMPDIR="$dir/state" HOME="$dir/state"
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus"
    LSAN_OPTIONS="suppressions=$_app_here/app_lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}suppressions=$_app_here/app_asan.supp")
}

# app_run LAB CMD...: CMD in LAB's host namespace with the server's
# environment.
app_run() {
  local lab=$1
  shift
  _app_env "$lab"
  netlab_run_host "$lab" "${APP_ENV[@]}" "$@"
}

# app_cmd LAB SUBCOMMAND ARGS...: the application's command line, which
# finds LAB's server through the socket in its state folder.
app_cmd() {
  local lab=$1
  shift
  app_run "$lab" "$APP" "$@"
}

# app_start LAB: starts LAB's system bus and the server, and waits up to
# 20 s until the server listens on its socket. netlab_down ends both if
# app_stop does not.
# Subcommands are no way to wait: one that finds no server starts one of
# its own, without this one's options.
app_start() {
  local lab=$1 dir i
  dir=$(_app_dir "$lab")
  mkdir -p "$dir/state" "$dir/spool"
  cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
  netlab_run_host "$lab" dbus-daemon --config-file="$dir/bus.conf" --nofork </dev/null \
    >"$dir/bus.log" 2>&1 &
  for ((i = 0; i < 50; i++)); do
    [[ -S $dir/bus ]] && break
    sleep 0.1
  done
  [[ -S $dir/bus ]] || { echo "app: no system bus in $lab:" >&2; cat "$dir/bus.log" >&2; return 1; }
  _app_env "$lab"
  # ip and env exec: the pid is the server's.
  ip netns exec "$lab-h" "${APP_ENV[@]}" "$APP" server -o server-port="$APP_PORT" \
    -o spool-directory="$dir/spool" -o log-file="$dir/log" -o log-level=debug \
    </dev/null >>"$dir/out" 2>&1 &
  _APP_PID[$lab]=$!
  for ((i = 0; i < 200; i++)); do
    [[ -S $dir/state/$(basename "$APP").sock ]] && app_cmd "$lab" status >/dev/null 2>&1 &&
      return 0
    _netlab_alive "${_APP_PID[$lab]}" || break
    sleep 0.1
  done
  echo "app: the server in $lab did not answer within 20 s:" >&2
  cat "$dir/out" >&2
  return 1
}

# app_stop LAB: the shutdown subcommand, then the server must end by itself
# with status 0 and no sanitizer report.
app_stop() {
  local lab=$1 dir pid=${_APP_PID[$1]} st=0 i said ok=1
  dir=$(_app_dir "$lab")
  said=$(app_cmd "$lab" shutdown 2>&1) || ok=0
  for ((i = 0; i < 100; i++)); do
    _netlab_alive "$pid" || break
    sleep 0.1
  done
  _netlab_alive "$pid" && e2e_fail "$lab: the server was still running 10 s after shutdown: $said"
  # Under load, PAPPL 1.3.1's subcommand now and then loses the answer to
  # its Shutdown-All-Printers ("Unable to shutdown server: No such file or
  # directory", about once in a dozen runs on two busy cores) while the
  # server does shut down, with status 0: the server's going counts.
  if ((!ok)) && { [[ $said != *"Unable to shutdown server"* ]] || _netlab_alive "$pid"; }; then
    e2e_fail "$lab: the shutdown subcommand failed: $said"
  fi
  _netlab_stop_pid "$pid" || st=$?
  unset "_APP_PID[$lab]"
  e2e_expect_eq "$lab: the server's exit status" "$st" 0
  if grep -qE 'Sanitizer|runtime error' "$dir/out"; then
    e2e_fail "$lab: the sanitizer reported:"
    head -n 60 "$dir/out" >&2
  fi
}

# app_add LAB NAME DEVICE-URI DRIVER: adds a printer with the command line.
app_add() {
  app_cmd "$1" add -d "$2" -v "$3" -m "$4" >/dev/null ||
    { e2e_fail "$1: add $2 ($3, $4) failed"; return 1; }
}

# app_uri NAME: the printer's IPP URI inside its lab.
app_uri() { echo "ipp://127.0.0.1:$APP_PORT/ipp/print/$1"; }

# app_ipptool LAB OUT ARGS...: ipptool -T 30 -t ARGS in LAB, output in OUT,
# run in OUT's folder (where the samples are). Returns ipptool's status.
app_ipptool() {
  local lab=$1 out=$2 dir
  dir=$(dirname "$2")
  shift 2
  (cd "$dir" && netlab_run_host "$lab" ipptool -T 30 -t "$@") >"$out" 2>&1
}

# app_print LAB OUT PRINTER FILE FORMAT [IPPTOOL-OPTIONS]: one Print-Job of
# FILE as FORMAT, followed to the job's end, then a Get-Printer-Attributes
# (app_print.test); OUT holds ipptool's report. Fails when the printer did
# not answer after the job.
app_print() {
  app_ipptool "$1" "$2" -I "${@:6}" -d format="$5" -f "$4" "$(app_uri "$3")" \
    "$_app_here/app_print.test" || true
  grep -qE '^ +Get-Printer-Attributes +\[PASS\]' "$2" || {
    e2e_fail "${2##*/}: the printer did not answer after the job:"
    cat "$2" >&2
    return 1
  }
}

# app_op LAB URI OP WHO [JOB]: one IPP operation (app_op.test) as WHO,
# with a small PCL document for Print-Job, from LAB's host namespace, or from its printer
# namespace with APP_FROM=p. Prints its status-code and, for a job it
# made, the job's id after a blank.
app_op() {
  local out doc
  doc=$(_app_dir "$1")/op.pcl
  [[ -e $doc ]] || printf '\033Eop\033E' >"$doc"
  local file=()
  [[ $3 == Print-Job ]] && file=(-f "$doc")
  out=$(ip netns exec "$1-${APP_FROM:-h}" ipptool -T 10 -t -d op="$3" -d who="$4" \
    ${5:+-d job="$5"} "${file[@]}" "$2" "$_app_here/app_op.test" 2>&1) || true
  if grep -qE '\[PASS\]' <<<"$out"; then
    echo "successful-ok$(sed -nE 's/.*job-id \(integer\) = ([0-9]+).*/ \1/p' <<<"$out" | head -n 1)"
  else
    sed -nE 's/^ +status-code = ([^ ]+).*/\1/p' <<<"$out" | head -n 1
  fi
}

# app_status OUT: the Print-Job status in an app_print report.
app_status() {
  if grep -qE '^ +Print-Job +\[PASS\]' "$1"; then
    echo successful-ok
  else
    sed -nE '0,/^ +Print-Job/d; s/^ +status-code = ([^ ]+).*/\1/p' "$1" | head -n 1
  fi
}

# app_job OUT ATTRIBUTE: the value app_print displayed for the job.
app_job() {
  sed -nE "s/^ +$2 \\([^)]*\\) = (.*)/\\1/p" "$1" | tail -n 1
}

# app_wait_file FILE SECONDS: waits until FILE exists.
app_wait_file() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [[ -e $1 ]] && return 0
    sleep 0.1
  done
  return 1
}

# --- documents ---

# app_document OUT PAGES: a PostScript document of PAGES pages, each with
# text, a black bar, a diagonal line and a square of 25 % gray. Everything
# but the square is pure black on white, which prints exactly; the square
# is what the printer must dither.
app_document() {
  {
    echo '%!PS'
    echo '/Helvetica findfont 28 scalefont setfont'
    local p
    for ((p = 1; p <= $2; p++)); do
      echo "0 setgray 72 720 moveto (Page $p of a test document) show"
      echo "72 640 $((100 + 60 * p)) 36 rectfill 4 setlinewidth 72 300 moveto 520 600 lineto stroke"
      echo '0.25 setgray 300 420 144 144 rectfill showpage'
    done
  } >"$1"
}

# app_raster PS OUT KIND DPI PAPER: PS rendered as 8-bit gray KIND (pwg or
# urf) raster at DPI on PAPER (a4, letter; or WxH in points).
app_raster() {
  local size=(-sPAPERSIZE="$5")
  [[ $5 == *x* ]] && size=(-dDEVICEWIDTHPOINTS="${5%x*}" -dDEVICEHEIGHTPOINTS="${5#*x}")
  local device=pwgraster
  [[ $3 == urf ]] && device=urf
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE="$device" -r"$4" "${size[@]}" -dFIXEDMEDIA \
    -dcupsColorSpace=18 -dcupsBitsPerColor=8 -sOutputFile="$2" "$1" 2>/dev/null
}

# app_ipptool_samples DIR TESTFILE...: every FILE the test files name,
# made in DIR (ipptool 2.4 gives up a whole file at the first FILE it cannot
# find, even in a test it skips). Real documents for what the printers take
# (8-bit gray PWG raster at 300 and 600 dpi, JPEG); PDF and PostScript too,
# should a test send them; the other rasters are empty files that only a
# test of a type or resolution the printers do not list would send, and it
# would fail on them.
app_ipptool_samples() {
  local dir=$1 name base
  shift
  app_document "$dir/doc2.ps" 2
  app_document "$dir/doc1.ps" 1
  while read -r name; do
    mkdir -p "$dir/$(dirname "$name")"
    base=${name##*/}
    case $name in
      *sgray-8/*-300dpi.pwg | *sgray-8/*-600dpi.pwg)
        local doc=doc1 paper=a4 dpi=${name%dpi.pwg}
        dpi=${dpi##*-}
        [[ $base == document-* ]] && doc=doc2
        [[ $base == *letter* ]] && paper=letter
        [[ $base == *4x6* ]] && paper=288x432
        app_raster "$dir/$doc.ps" "$dir/$name" pwg "$dpi" "$paper" ;;
      *.jpg)
        local device=jpeg
        [[ $base == gray* ]] && device=jpeggray
        gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE="$device" -r30 -sPAPERSIZE=a4 \
          -sOutputFile="$dir/$name" "$dir/doc1.ps" 2>/dev/null ;;
      *.pdf)
        local paper=a4
        [[ $base == *letter* ]] && paper=letter
        gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=$paper \
          -sOutputFile="$dir/$name" "$dir/doc2.ps" 2>/dev/null ;;
      *.ps) cp "$dir/doc2.ps" "$dir/$name" ;;
      *) : >"$dir/$name" ;;
    esac || { e2e_fail "samples: could not make $name"; return 1; }
  done < <(sed -nE 's/^[[:space:]]*FILE[[:space:]]+([^$][^[:space:]]*).*/\1/p' "$@" | sort -u)
}
