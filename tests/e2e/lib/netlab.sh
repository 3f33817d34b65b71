# netlab.sh: private networks for the end-to-end tests, the demo and the
# CUPS suite. Source it from bash; every function returns non-zero with a
# message on stderr when something fails.
#
# A netlab called NAME is two network namespaces joined by a veth pair:
#   "${NAME}-h"  the host side, where the backend runs       10.77.0.1/24
#   "${NAME}-p"  the printer side, where printer_sim runs    10.77.0.2/24
# Both have lo up and a 224.0.0.0/4 route over the link, without which
# multicast between two namespaces fails ("network unreachable" when sending,
# "no such device" when joining). There is no default route: nothing can
# leave the lab. NAME must be unique per run (put $$ in it) so that suites
# can run in parallel; interface names are derived from a hash of NAME and
# stay within the kernel's 15 characters.
#
# Cleanup: the first netlab_up installs traps (EXIT, and INT/TERM/HUP which
# exit and so run EXIT) that call netlab_down for every lab still up; an EXIT
# trap the script had installed before is run after that. Everything is
# removed by exact name or pid. When the script exits non-zero, the logs of
# the simulators are copied to stderr first. NETLAB_KEEP=1 keeps the
# temporary directory for inspection.
#
# Typical use:
#   source "$SOURCE_DIR/tests/e2e/lib/netlab.sh"
#   lab=smoke$$
#   netlab_up "$lab"
#   netlab_sim "$lab" --printer --macuaa 0123456789AB --ip 10.77.0.2
#   netlab_run_host "$lab" "$NETBACKEND"

declare -gA _NETLAB_TMP=()      # NAME -> temporary directory
declare -gA _NETLAB_IFS=()      # NAME -> number of veth pairs made
declare -ga _NETLAB_PIDS=()     # "NAME:pid:kind" of processes we started
declare -g _NETLAB_TRAPPED=0
declare -g _NETLAB_PREV_EXIT=""
declare -g _NETLAB_SIM_COUNT=0
# shellcheck disable=SC2034 # the three below are read by the callers
declare -g NETLAB_SIM_PID=""    # pid of the simulator started last
declare -g NETLAB_SIM_LOG=""    # its stderr (the per-event log)
declare -g NETLAB_LAST_PID=""   # pid of the process netlab_spawn_host started last

_netlab_err() { echo "netlab: $*" >&2; }

# netlab_ifname NAME SIDE INDEX: the interface name of veth pair INDEX
# (0 is the main link, 1.. those of netlab_add_host_ifaces) on SIDE h or p.
netlab_ifname() {
  local hash
  hash=$(printf '%s' "$1" | md5sum | cut -c1-6)
  echo "nl${hash}${2}${3}"
}

# netlab_tmpdir NAME: a temporary directory that lives as long as the lab
# (simulator logs and ready files go here; tests may put their files here).
netlab_tmpdir() {
  echo "${_NETLAB_TMP[$1]:?netlab $1 is not up}"
}

_netlab_alive() {
  local state
  [[ -r /proc/$1/stat ]] || return 1
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z ]]
}

# Sends SIGTERM to pid, waits up to 5 s, then SIGKILL. Returns its exit
# status when it is our child, else 0.
_netlab_stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    _netlab_alive "$pid" || break
    sleep 0.1
  done
  if _netlab_alive "$pid"; then
    _netlab_err "pid $pid ignored SIGTERM for 5 s; killing it"
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  local rc=$?
  [[ $rc == 127 ]] && rc=0   # not our child: nothing to collect
  return "$rc"
}

_netlab_exit_trap() {
  local rc=$? name
  if [[ $rc != 0 ]]; then
    local log
    for name in "${!_NETLAB_TMP[@]}"; do
      for log in "${_NETLAB_TMP[$name]}"/sim-*.log; do
        [[ -s $log ]] || continue
        echo "---- netlab: $log (last 40 lines) ----" >&2
        tail -n 40 "$log" >&2
      done
    done
  fi
  for name in "${!_NETLAB_TMP[@]}"; do
    netlab_down "$name"
  done
  if [[ -n $_NETLAB_PREV_EXIT ]]; then
    eval "$_NETLAB_PREV_EXIT"
  fi
  return "$rc"
}

_netlab_install_traps() {
  [[ $_NETLAB_TRAPPED == 1 ]] && return 0
  local prev
  prev=$(trap -p EXIT)
  if [[ -n $prev ]]; then
    local -a words
    eval "words=($prev)"   # trap -- 'command' EXIT
    _NETLAB_PREV_EXIT=${words[2]}
  fi
  trap _netlab_exit_trap EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  _NETLAB_TRAPPED=1
}

# netlab_up NAME: creates the lab described at the top. Fails if not root,
# if NAME is empty or if a namespace of that name exists already.
netlab_up() {
  local name=$1
  if [[ $(id -u) != 0 ]]; then
    _netlab_err "must run as root (it creates network namespaces)"
    return 1
  fi
  if [[ -z $name || $name == */* ]]; then
    _netlab_err "netlab_up needs a NAME without /"
    return 1
  fi
  local h="${name}-h" p="${name}-p"
  if [[ -e /run/netns/$h || -e /run/netns/$p ]]; then
    _netlab_err "namespace $h or $p exists already"
    return 1
  fi
  _netlab_install_traps
  _NETLAB_TMP[$name]=$(mktemp -d "${TMPDIR:-/tmp}/netlab.${name}.XXXXXX") || return 1
  _NETLAB_IFS[$name]=1
  ip netns add "$h" || return 1
  ip netns add "$p" || return 1
  # No reverse-path filter, whatever the machine's own setting: the labs
  # send datagrams from sources it would drop before the program saw them.
  if ! { ip -n "$h" link set lo up &&
    ip -n "$p" link set lo up &&
    ip netns exec "$h" sysctl -q -w net.ipv4.conf.{all,default}.rp_filter=0 &&
    ip netns exec "$p" sysctl -q -w net.ipv4.conf.{all,default}.rp_filter=0 &&
    _netlab_main_link "$name"; }; then
    _netlab_err "setting up $h/$p failed"
    return 1
  fi
}

# _netlab_carrier NS IF: waits up to 5 s until IF in NS has its carrier. The
# kernel notices a veth's far end in its own time, and a run started before
# then would pass the link over as one without carrier.
_netlab_carrier() {
  local i
  for ((i = 0; i < 50; i++)); do
    [[ $(ip -n "$1" -o link show dev "$2") == *"state UP"* ]] && return 0
    sleep 0.1
  done
  _netlab_err "$2 in $1 has no carrier after 5 s"
  return 1
}

# _netlab_main_link NAME: the main link's veth pair, its addresses and the
# multicast routes over it.
_netlab_main_link() {
  local h="$1-h" p="$1-p" hif pif
  hif=$(netlab_ifname "$1" h 0)
  pif=$(netlab_ifname "$1" p 0)
  # Both ends are created inside their namespaces, never in ours.
  ip link add "$hif" netns "$h" type veth peer name "$pif" netns "$p" &&
    ip -n "$h" addr add 10.77.0.1/24 dev "$hif" &&
    ip -n "$p" addr add 10.77.0.2/24 dev "$pif" &&
    ip -n "$h" link set "$hif" up &&
    ip -n "$p" link set "$pif" up &&
    ip -n "$h" route add 224.0.0.0/4 dev "$hif" &&
    ip -n "$p" route add 224.0.0.0/4 dev "$pif" &&
    _netlab_carrier "$h" "$hif"
}

# netlab_replug NAME: unplugs the main link and plugs it in again, as a
# cable or a USB adapter is: the pair is deleted and made anew under the
# same names, with new interface indexes, last in the system's order. Only
# the routes of netlab_up come back; start simulators after this.
netlab_replug() {
  if ! { ip -n "$1-h" link del "$(netlab_ifname "$1" h 0)" && _netlab_main_link "$1"; }; then
    _netlab_err "re-plugging the main link of $1 failed"
    return 1
  fi
}

# netlab_add_printer_ip NAME ADDR: adds ADDR/24 on the printer side of the
# main link, so that several printers with their own addresses share one
# namespace (for example 10.77.0.3).
netlab_add_printer_ip() {
  local name=$1 addr=$2
  ip -n "${name}-p" addr add "${addr}/24" dev "$(netlab_ifname "$name" p 0)" || {
    _netlab_err "cannot add $addr to ${name}-p"
    return 1
  }
}

# netlab_add_host_ifaces NAME COUNT: adds COUNT more veth pairs between the
# two sides. Pair i (1, 2, ... continuing over calls) has 10.78.i.1/24 on the
# host side and 10.78.i.2/24 on the printer side, so a query sent out of
# each host interface reaches the simulator, whose log then shows one
# "query from 10.78.i.1:..." line per interface. Start the simulator after
# this: it joins the group on the addresses present when it starts.
netlab_add_host_ifaces() {
  local name=$1 count=$2 k
  local h="${name}-h" p="${name}-p"
  for ((k = 0; k < count; k++)); do
    local i=${_NETLAB_IFS[$name]:?netlab $name is not up}
    local hif pif
    hif=$(netlab_ifname "$name" h "$i")
    pif=$(netlab_ifname "$name" p "$i")
    if ! { ip link add "$hif" netns "$h" type veth peer name "$pif" netns "$p" &&
      ip -n "$h" addr add "10.78.${i}.1/24" dev "$hif" &&
      ip -n "$p" addr add "10.78.${i}.2/24" dev "$pif" &&
      ip -n "$h" link set "$hif" up &&
      ip -n "$p" link set "$pif" up &&
      _netlab_carrier "$h" "$hif"; }; then
      _netlab_err "adding interface pair $i to $name failed"
      return 1
    fi
    _NETLAB_IFS[$name]=$((i + 1))
  done
}

# netlab_add_far NAME: a third namespace "${NAME}-f" two hops from the
# host: linked to the printer side (10.91.0.254/24 there, 10.91.0.1/24 in
# it), which forwards between its links, with routes both ways. A host there
# is off the host's link, as one beyond a router is.
netlab_add_far() {
  local name=$1
  local f="${name}-f" fif pif
  fif=$(netlab_ifname "$name" f 0)
  pif=$(netlab_ifname "$name" r 0)
  if [[ -e /run/netns/$f ]]; then
    _netlab_err "namespace $f exists already"
    return 1
  fi
  ip netns add "$f" || return 1
  if ! { ip link add "$pif" netns "${name}-p" type veth peer name "$fif" netns "$f" &&
    ip -n "$f" link set lo up &&
    ip -n "${name}-p" addr add 10.91.0.254/24 dev "$pif" &&
    ip -n "$f" addr add 10.91.0.1/24 dev "$fif" &&
    ip -n "${name}-p" link set "$pif" up &&
    ip -n "$f" link set "$fif" up &&
    ip -n "$f" route add default via 10.91.0.254 &&
    ip -n "$f" route add 224.0.0.0/4 dev "$fif" &&
    ip -n "${name}-h" route add 10.91.0.0/24 via 10.77.0.2 &&
    ip netns exec "${name}-p" sysctl -q -w net.ipv4.ip_forward=1; }; then
    _netlab_err "setting up $f failed"
    return 1
  fi
}

# netlab_sim NAME ARGS...: starts $PRINTER_SIM ARGS... in the printer
# namespace (the host's with NETLAB_SIM_SIDE=h, the far one with f) in the
# background, as root or, with NETLAB_SIM_USER=USER, as that user without
# privileges, with a ready file, and waits up to 5 s for it to be ready. Sets NETLAB_SIM_PID and NETLAB_SIM_LOG (its stderr, one line
# per event). The pid is recorded for netlab_sim_stop and netlab_down.
netlab_sim() {
  local name=$1
  shift
  local dir=${_NETLAB_TMP[$name]:-}
  if [[ -z $dir ]]; then
    _netlab_err "netlab $name is not up"
    return 1
  fi
  if [[ ! -x ${PRINTER_SIM:-} ]]; then
    _netlab_err "PRINTER_SIM ('${PRINTER_SIM:-}') is not an executable file"
    return 1
  fi
  _NETLAB_SIM_COUNT=$((_NETLAB_SIM_COUNT + 1))
  local ready="$dir/sim-${_NETLAB_SIM_COUNT}.ready" as=()
  local log="$dir/sim-${_NETLAB_SIM_COUNT}.log" user=${NETLAB_SIM_USER:-}
  if [[ -n $user ]]; then
    # The user writes its ready file into a directory of its own.
    as=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups)
    chmod 711 "$dir" && install -d -o "$user" "$dir/$user" || return 1
    ready="$dir/$user/sim-${_NETLAB_SIM_COUNT}.ready"
  fi
  ip netns exec "${name}-${NETLAB_SIM_SIDE:-p}" "${as[@]}" "$PRINTER_SIM" --ready-file "$ready" "$@" \
    </dev/null >>"$log" 2>&1 &
  local pid=$!
  _NETLAB_PIDS+=("$name:$pid:sim")
  # shellcheck disable=SC2034 # read by the callers
  NETLAB_SIM_PID=$pid
  # shellcheck disable=SC2034
  NETLAB_SIM_LOG=$log
  local i
  for ((i = 0; i < 50; i++)); do
    [[ -e $ready ]] && return 0
    if ! _netlab_alive "$pid"; then
      wait "$pid" 2>/dev/null
      _netlab_err "printer_sim exited (status $?) before it was ready:"
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  _netlab_err "printer_sim not ready after 5 s:"
  cat "$log" >&2
  return 1
}

# netlab_sim_stop [NAME]: stops the simulators started with netlab_sim (those
# of NAME only, when given) with SIGTERM and waits for them. Fails when one
# did not exit with status 0, which is how a test checks a clean shutdown.
netlab_sim_stop() {
  local only=${1:-} rc=0 entry keep=()
  for entry in "${_NETLAB_PIDS[@]}"; do
    local name=${entry%%:*} rest=${entry#*:}
    local pid=${rest%%:*} kind=${rest#*:}
    if [[ $kind != sim || (-n $only && $name != "$only") ]]; then
      keep+=("$entry")
      continue
    fi
    local st=0
    _netlab_stop_pid "$pid" || st=$?
    if [[ $st != 0 ]]; then
      _netlab_err "printer_sim pid $pid exited with status $st"
      rc=1
    fi
  done
  _NETLAB_PIDS=("${keep[@]}")
  return "$rc"
}

# netlab_run_host NAME CMD...: runs CMD in the host namespace, in the
# foreground, with this shell's environment; returns CMD's status.
netlab_run_host() {
  local name=$1
  shift
  ip netns exec "${name}-h" "$@"
}

# netlab_run_printer NAME CMD...: the same in the printer namespace.
netlab_run_printer() {
  local name=$1
  shift
  ip netns exec "${name}-p" "$@"
}

# netlab_spawn_host NAME CMD...: starts CMD in the host namespace in the
# background; its pid goes to NETLAB_LAST_PID and is stopped by netlab_down.
# Output is not redirected: redirect it in the call.
netlab_spawn_host() {
  local name=$1
  shift
  ip netns exec "${name}-h" "$@" &
  NETLAB_LAST_PID=$!
  _NETLAB_PIDS+=("$name:$NETLAB_LAST_PID:host")
}

# netlab_down NAME: stops the processes started through the library for NAME
# (by pid), then any process still inside the lab's two namespaces (all of
# them were started by this test), deletes both namespaces by exact name and
# removes the temporary directory. Idempotent.
netlab_down() {
  local name=$1 entry keep=()
  for entry in "${_NETLAB_PIDS[@]}"; do
    if [[ ${entry%%:*} == "$name" ]]; then
      local rest=${entry#*:}
      _netlab_stop_pid "${rest%%:*}" || true
    else
      keep+=("$entry")
    fi
  done
  _NETLAB_PIDS=("${keep[@]}")
  local ns pid
  for ns in "${name}-h" "${name}-p" "${name}-f"; do
    [[ -e /run/netns/$ns ]] || continue
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
      _netlab_stop_pid "$pid" || true
    done
    ip netns del "$ns" 2>/dev/null || _netlab_err "could not delete namespace $ns"
  done
  local dir=${_NETLAB_TMP[$name]:-}
  if [[ -n $dir ]]; then
    if [[ ${NETLAB_KEEP:-0} == 1 ]]; then
      _netlab_err "kept $dir"
    else
      rm -rf -- "$dir"
    fi
    unset "_NETLAB_TMP[$name]"
  fi
  unset "_NETLAB_IFS[$name]"
  return 0
}
