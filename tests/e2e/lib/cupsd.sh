# Isolated CUPS schedulers for the end-to-end suite (sourced by cups_*.sh).
#
# Each scheduler lives in a directory of its own: configuration, state, spool
# and logs inside it, a unix socket as its only listener, and a ServerBin
# that links the system's filters and daemons and holds a backend/ directory
# of its own, so the program under test can be installed there under any
# name and mode without touching the system. It runs inside a network
# namespace, so that whatever the stock backends send stays there too.
#
# The scheduler insists that a backend, its directory and the directories
# above be root-owned and not writable by others, or it skips the backend
# without a word; and lp must be able to reach a backend that runs as lp.
# Hence the 0755 directories below.

CUPS_SYSTEM_SERVERBIN=${CUPS_SYSTEM_SERVERBIN:-/usr/lib/cups}
# The names the program is installed under; the first letter is the brand.
CUPS_BRAND_NAMES=(tamo solena zalor orbec gprinter)

# Fails with a message naming what is missing; the suite installs nothing.
cups_check_prereqs() {
  local missing=() c
  for c in cupsd lpinfo lpadmin lpstat lp cancel cupsenable ipptool ip; do
    command -v "$c" >/dev/null 2>&1 || missing+=("command $c")
  done
  for c in "$CUPS_SYSTEM_SERVERBIN/daemon/cups-deviced" \
           "$CUPS_SYSTEM_SERVERBIN/backend/socket" \
           /etc/cups/raw.types /etc/cups/raw.convs; do
    [ -e "$c" ] || missing+=("$c")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "cups e2e: missing: ${missing[*]}" >&2
    echo "cups e2e: install Debian's cups and cups-client packages first" \
         "(tools/install-deps.sh): cups-deviced and the socket backend come" \
         "with the cups package, not with cups-daemon" >&2
    return 1
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "cups e2e: must run as root (namespaces, cupsd, dpkg)" >&2
    return 1
  fi
}

# cups_make DIR SERVERBIN
#   Writes the configuration of a scheduler rooted at DIR. SERVERBIN is the
#   ServerBin to use: "private" for DIR/serverbin (a backend/ directory of its
#   own, see cups_install_program) or an existing directory such as
#   /usr/lib/cups.
cups_make() {
  local dir=$1 serverbin=$2 d
  mkdir -p "$dir"/{root,state,cache,spool,log}
  chmod 0755 "$dir" "$dir"/{root,state,cache,log}
  # The spool and its temporary directory as a stock system has them: lp
  # (the backends, the filters) writes there.
  install -d -o root -g lp -m 0710 "$dir/spool"
  install -d -o root -g lp -m 1770 "$dir/spool/tmp"
  if [ "$serverbin" = private ]; then
    serverbin=$dir/serverbin
    mkdir -p "$serverbin/backend"
    chmod 0755 "$serverbin" "$serverbin/backend"
    for d in daemon filter cgi-bin driver monitor notifier; do
      [ -e "$CUPS_SYSTEM_SERVERBIN/$d" ] && ln -s "$CUPS_SYSTEM_SERVERBIN/$d" "$serverbin/$d"
    done
    # The stock backends, by symbolic link (they do not care what their link
    # resolves to); the program's own names are left to cups_install_program.
    local b name
    for b in "$CUPS_SYSTEM_SERVERBIN"/backend/*; do
      name=${b##*/}
      [[ " ${CUPS_BRAND_NAMES[*]} " == *" $name "* ]] && continue
      ln -s "$b" "$serverbin/backend/$name"
    done
  fi
  cp /etc/cups/raw.types /etc/cups/raw.convs "$dir/root/"
  cat > "$dir/cups-files.conf" <<EOF
ServerRoot $dir/root
StateDir $dir/state
CacheDir $dir/cache
RequestRoot $dir/spool
TempDir $dir/spool/tmp
ServerBin $serverbin
DataDir /usr/share/cups
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
Printcap $dir/printcap
User lp
Group lp
SystemGroup root
FileDevice No
EOF
  # ErrorPolicy as Debian's stock cupsd.conf has it. The log is never
  # rotated: the lanes read a job's lines after the fact, and at debug2 the
  # log passes the default 1 MB limit within seconds of polling.
  cat > "$dir/cupsd.conf" <<EOF
LogLevel debug2
MaxLogSize 0
Listen $dir/cups.sock
Browsing No
BrowseLocalProtocols none
WebInterface No
ErrorPolicy retry-job
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
    Allow all
  </Limit>
</Policy>
EOF
}

# cups_install_program DIR MODE FILE
#   Installs FILE into DIR's private backend directory under every brand name:
#   one copy plus hard links, root-owned, with MODE (0755 runs as lp, 0700 as
#   root).
cups_install_program() {
  local dir=$1 mode=$2 file=$3 backend=$1/serverbin/backend name
  install -o root -g root -m "$mode" "$file" "$backend/${CUPS_BRAND_NAMES[0]}"
  for name in "${CUPS_BRAND_NAMES[@]:1}"; do
    ln -f "$backend/${CUPS_BRAND_NAMES[0]}" "$backend/$name"
  done
}

# cups_start DIR NETNS
#   Starts the scheduler of DIR inside NETNS and waits until it answers.
#   Sets CUPS_PID_<index> bookkeeping through the caller's cleanup list:
#   the pid is written to DIR/cupsd.pid.
cups_start() {
  local dir=$1 netns=$2 i
  ip netns exec "$netns" cupsd -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" \
    >"$dir/log/cupsd.out" 2>&1 &
  echo $! > "$dir/cupsd.pid"
  for i in $(seq 100); do
    if lpstat -h "$dir/cups.sock" -r 2>/dev/null | grep -q 'is running'; then
      return 0
    fi
    kill -0 "$(cat "$dir/cupsd.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "cups e2e: cupsd in $dir did not start:" >&2
  cat "$dir/log/cupsd.out" "$dir/log/error_log" >&2 2>/dev/null
  return 1
}

# cups_stop DIR: ends the scheduler of DIR (by its pid) and waits for it.
cups_stop() {
  local dir=$1 pid
  [ -f "$dir/cupsd.pid" ] || return 0
  pid=$(cat "$dir/cupsd.pid")
  rm -f "$dir/cupsd.pid"
  kill "$pid" 2>/dev/null || return 0
  local i
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
