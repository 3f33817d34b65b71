#!/usr/bin/env bash
# The printer application's Debian package: lintian, the installed program's
# hardening and man page, then install, the service started as its unit says
# (its user, directories, environment, options), a printer added through
# the socket link by root and listed by another user, stop, remove and
# purge; after the purge nothing the package or the service made is left.
#
# The package is installed only into throw-away copies: the suite runs in a
# mount namespace of its own where /etc, /usr and /var/lib are overlays whose
# changes go to a tmpfs, and /run is a tmpfs, so that the maintainer scripts
# see no systemd and start nothing, and neither the machine's users nor its
# package database change (checked from outside afterwards). It runs in a
# network namespace of its own too, with loopback alone, and so does every
# server it starts: the service, and any that a subcommand would start when
# it cannot reach the service. None is asked to list devices.
# Needs root, dpkg, lintian, devscripts and mandoc. Skipped when the build
# has no printer application (no PAPPL).
# Environment (set by ctest): BINARY_DIR, NETBACKEND_VERSION.
set -uo pipefail

: "${BINARY_DIR:?BINARY_DIR must name the build tree}"
: "${NETBACKEND_VERSION:?NETBACKEND_VERSION must be the version of the build}"

NAME=netbackend-printer-app
if [ ! -x "$BINARY_DIR/src/app/$NAME" ]; then
  echo "app package: this build has no $NAME (PAPPL not found): nothing to check"
  exit 0
fi
for c in dpkg unshare ip lintian hardening-check mandoc setpriv ss curl chpasswd; do
  command -v "$c" >/dev/null || { echo "app package: needs $c (tools/install-deps.sh)" >&2; exit 1; }
done

step() { echo "-- $*"; }
ok() { echo "   ok${1:+: $1}"; }
fail() {
  echo "   FAIL: $*" >&2
  exit 1
}

# ---- outside: the machine before and after --------------------------------------
if [ -z "${APP_PKG_MOUNT_NS:-}" ]; then
  machine_state() {
    md5sum /etc/passwd /etc/group /etc/shadow /etc/gshadow /var/lib/dpkg/status
    ls -d "/var/lib/$NAME" "/run/$NAME" "/run/$NAME.sock" /lib/systemd/system/$NAME.service \
      "/etc/default/$NAME" 2>/dev/null
  }
  before=$(machine_state)
  APP_PKG_MOUNT_NS=1 unshare --mount --net --propagation private -- bash "${BASH_SOURCE[0]}"
  rc=$?
  if ! diff <(echo "$before") <(machine_state) >&2; then
    echo "app package: FAIL: the machine's users, package database or service files changed" >&2
    rc=1
  fi
  exit "$rc"
fi
[ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ] \
  && [ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ] \
  || fail "not in a mount and network namespace of its own; refusing to install the package"
ip link set lo up || fail "cannot bring up loopback"

WORK=$(mktemp -d /tmp/app-pkg.XXXXXX) || exit 1
SERVER_PID=
MOUNTED=()
# stray_servers: the pids of the application's processes in this network
# namespace (a server a subcommand started on its own).
stray_servers() {
  local ns p
  ns=$(readlink /proc/self/ns/net)
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$ns" ] || continue
    [[ $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) == *"$NAME server"* ]] && echo "${p#/proc/}"
  done
}
cleanup() {
  local rc=$? m p
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  for p in $(stray_servers); do kill "$p"; done
  # Every mount goes before the work area does: it holds views of the
  # machine's own directories. --one-file-system in case one would not go.
  for ((m = ${#MOUNTED[@]} - 1; m >= 0; m--)); do
    umount -l "${MOUNTED[$m]}" || echo "app package: could not unmount ${MOUNTED[$m]}" >&2
  done
  rm -rf --one-file-system -- "$WORK"
  exit "$rc"
}
trap cleanup EXIT

dpkg_quiet() {
  dpkg --no-triggers --log="$WORK/dpkg.log" "$@" >"$WORK/dpkg.out" 2>&1 \
    || { cat "$WORK/dpkg.out" >&2; return 1; }
}

# ---- the package file -------------------------------------------------------------
echo "== app package: $BINARY_DIR"
DEB=$(ls "$BINARY_DIR/${NAME}_${NETBACKEND_VERSION}_"*.deb 2>/dev/null | head -n1)
if [ -z "$DEB" ] || [ "$DEB" -ot "$BINARY_DIR/src/app/$NAME" ]; then
  # The lock: the other package suites may build them at the same time.
  flock "$BINARY_DIR/deb.lock" cmake --build "$BINARY_DIR" --target deb >"$WORK/deb.log" 2>&1 \
    || { cat "$WORK/deb.log"; fail "building the packages failed"; }
  DEB=$(ls "$BINARY_DIR/${NAME}_${NETBACKEND_VERSION}_"*.deb 2>/dev/null | head -n1)
fi
[ -n "$DEB" ] || fail "no ${NAME}_${NETBACKEND_VERSION}_*.deb in $BINARY_DIR"

step "lintian, hardening-check and the man page"
lintian --fail-on error,warning "$DEB" >"$WORK/lintian.log" 2>&1 \
  || { cat "$WORK/lintian.log"; fail "lintian reports errors or warnings"; }
dpkg-deb -x "$DEB" "$WORK/x"
hardening-check --nocfprotection "$WORK/x/usr/sbin/$NAME" >"$WORK/hardening.log" \
  || { cat "$WORK/hardening.log"; fail "hardening-check failed"; }
page=$WORK/x/usr/share/man/man8/$NAME.8.gz
mandoc -T lint -W all "$page" || fail "mandoc -T lint reports on the man page"
[ -z "$(MANWIDTH=80 man -l "$page" 2>&1 | awk 'length > 80')" ] || fail "man page wider than 80 columns"
man -l "$page" 2>/dev/null | grep -q "netbackend $NETBACKEND_VERSION" || fail "man page does not name $NETBACKEND_VERSION"
ok

# ---- throw-away copies -----------------------------------------------------------------
step "overlays over /etc, /usr and /var/lib, a tmpfs on /run, then dpkg -i"
mkdir "$WORK/ov" && mount -t tmpfs -o mode=0700 app-pkg "$WORK/ov" || fail "cannot mount a tmpfs"
MOUNTED+=("$WORK/ov")
OVERLAYS=(/etc /usr /var/lib)
for d in "${OVERLAYS[@]}"; do
  o=$WORK/ov/${d//\//_}
  # lower: the machine's directory as it is, for the comparison at the end.
  mkdir -p "$o/lower" "$o/upper" "$o/work" && mount --bind -o ro "$d" "$o/lower" \
    && MOUNTED+=("$o/lower") && mount -o remount,bind,ro "$o/lower" \
    && [ ! -w "$o/lower" ] && [ "$(findmnt -no OPTIONS "$o/lower" | cut -d, -f1)" = ro ] \
    || fail "cannot mount $d read-only at $o/lower"
  chown --reference="$d" "$o/upper" && chmod --reference="$d" "$o/upper" \
    && mount -t overlay overlay -o "lowerdir=$d,upperdir=$o/upper,workdir=$o/work" "$d" \
    || fail "cannot mount an overlay over $d"
  MOUNTED+=("$d")
done
mount -t tmpfs -o mode=0755 app-pkg-run /run || fail "cannot mount a tmpfs on /run"
MOUNTED+=(/run)
# In the copies only: an installed copy makes way.
dpkg_quiet --purge "$NAME" || fail "dpkg --purge of an installed copy failed"
dpkg_quiet -i "$DEB" || fail "dpkg -i failed"
user=$(getent passwd "$NAME") || fail "no user $NAME"
[ "$(cut -d: -f6,7 <<<"$user")" = "/var/lib/$NAME:/usr/sbin/nologin" ] || fail "user: $user"
[ "$(cut -d: -f3 <<<"$user")" -lt 1000 ] || fail "$NAME is not a system user: $user"
getent group "$NAME" >/dev/null || fail "no group $NAME"
[ -L "/etc/systemd/system/multi-user.target.wants/$NAME.service" ] || fail "the unit is not enabled"
grep -qx "/etc/default/$NAME" "/var/lib/dpkg/info/$NAME.conffiles" || fail "the defaults file is no conffile"
# adduser's lock file is adduser's.
[ -z "$(ls /run | grep -vx adduser)" ] || fail "the scripts made something in /run: $(ls /run)"
dpkg_quiet -i "$DEB" || fail "dpkg -i over the installed package failed"
[ "$(getent passwd "$NAME")" = "$user" ] || fail "the second installation changed the user"
ok "user $(cut -d: -f1,3,6 <<<"$user"), unit enabled, conffile"

# ---- the service, as its unit runs it ---------------------------------------------------
# What systemd does for this unit: its directories with their owners and
# modes, its environment (HOME from the user, Environment=, the defaults
# file), its umask; ExecStart as the user; ExecStartPost and ExecStopPost
# ("+": as root); the runtime directory removed at stop.
unit=/lib/systemd/system/$NAME.service
key() { sed -n "s/^$1=//p" "$unit"; }
step "the service as $unit runs it"
for k in User StateDirectory StateDirectoryMode RuntimeDirectory RuntimeDirectoryMode UMask; do
  [ -n "$(key "$k")" ] || fail "the unit has no $k="
done
svc_user=$(key User)
install -d -o "$svc_user" -g "$svc_user" -m "$(key StateDirectoryMode)" "/var/lib/$(key StateDirectory)"
install -d -o "$svc_user" -g "$svc_user" -m "$(key RuntimeDirectoryMode)" "/run/$(key RuntimeDirectory)"
env_args=(HOME="$(cut -d: -f6 <<<"$user")" PATH=/usr/sbin:/usr/bin)
while read -r assignment; do env_args+=("$assignment"); done < <(key Environment)
OPTIONS=
envfile=$(key EnvironmentFile)
# shellcheck disable=SC1090
. "${envfile#-}" || fail "cannot read ${envfile#-}"
exec_start=$(key ExecStart)
exec_start=${exec_start//\$OPTIONS/$OPTIONS}
read -ra server <<<"$exec_start"
(
  umask "$(key UMask)"
  cd / && exec env -i "${env_args[@]}" \
    setpriv --reuid="$svc_user" --regid="$svc_user" --groups="$(key SupplementaryGroups)" "${server[@]}"
) >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
pre=$(key ExecStartPre)
eval "${pre#+}" || fail "ExecStartPre failed"
post=$(key ExecStartPost)
eval "${post#+}" || fail "ExecStartPost failed"
# status starts no server, and ends with 0 whether it found one or not.
for _ in $(seq 100); do
  "$NAME" status >"$WORK/status" 2>&1
  [[ $(cat "$WORK/status") == Running* ]] && break
  sleep 0.1
done
[[ $(cat "$WORK/status") == Running* ]] \
  || { cat "$WORK/server.log"; fail "root cannot reach the service: $(cat "$WORK/status")"; }
# The subshell execs env, which execs setpriv, which execs the program: one
# process from start to end.
[ "$(readlink "/proc/$SERVER_PID/exe")" = "/usr/sbin/$NAME" ] || fail "no server process"
[ "$(ps -o user= -p "$SERVER_PID")" = "$svc_user" ] || fail "the server runs as $(ps -o user= -p "$SERVER_PID")"
listening=$(ss -Hltn | awk '{print $4}' | sort | tr '\n' ' ')
[ "$listening" = "127.0.0.1:8631 " ] || fail "listening on '$listening', expected 127.0.0.1:8631 alone"
ok "runs as $svc_user, listens on $listening"

step "the socket: root and the group lpadmin manage, and nobody else reaches it"
[ "$(stat -c '%a %G' "/run/$(key RuntimeDirectory)")" = "750 lpadmin" ] \
  || fail "the socket's folder is $(stat -c '%a %G' "/run/$(key RuntimeDirectory)")"
grep -q -- "-o auth-service=$NAME -o admin-group=lpadmin" <<<"$exec_start" \
  || fail "the unit names no PAM service and admin group: $exec_start"
[ -f "/etc/pam.d/$NAME" ] || fail "no /etc/pam.d/$NAME"
"$NAME" add -d office -v tamo://80C4A2E691D5 -m pcl >"$WORK/add" 2>&1 \
  || fail "add failed: $(cat "$WORK/add")"
useradd --system --no-create-home --groups lpadmin pkgadmin
listed=$(setpriv --reuid=pkgadmin --regid=pkgadmin --init-groups env -i PATH=/usr/sbin:/usr/bin "$NAME" printers 2>&1)
[ "$listed" = office ] || fail "printers as a member of lpadmin: $listed"
refused=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/sbin:/usr/bin "$NAME" add -d x -v socket://10.0.0.9 -m pcl 2>&1) \
  && fail "nobody added a printer: $refused"
[[ $refused == *"Only root and the members of the group 'lpadmin'"* ]] || fail "nobody was told: $refused"
[ "$("$NAME" printers)" = office ] || fail "a half-done change: $("$NAME" printers)"
# The web interface's logins, through PAM as the service checks them.
useradd --system --no-create-home pkguser
printf 'pkgadmin:Adm1n-pw\npkguser:Us3r-pw\n' | chpasswd
web() { curl -s -o /dev/null -w '%{http_code}' "$@" http://localhost:8631/config; }
for row in "Adm1n-pw:pkgadmin:200" "wrong:pkgadmin:401" "Us3r-pw:pkguser:403" ":-:401"; do
  IFS=: read -r password login want <<<"$row"
  creds=(-u "$login:$password")
  [ "$login" = - ] && creds=(--cookie auth=0123456789abcdef)
  got=$(web "${creds[@]}")
  [ "$got" = "$want" ] || fail "the web page for $login answered $got, not $want"
done
userdel pkgadmin
userdel pkguser
state=/var/lib/$NAME/$NAME.state
[ "$(stat -c '%U %a' "$state" 2>/dev/null)" = "$svc_user 600" ] \
  || fail "state file: $(stat -c '%U %a' "$state" 2>&1)"
ok

step "stop, dpkg -r, dpkg --purge"
kill "$SERVER_PID"
wait "$SERVER_PID"
SERVER_PID=
stop_post=$(key ExecStopPost)
eval "${stop_post#+}" || fail "ExecStopPost failed"
rm -rf -- "/run/$(key RuntimeDirectory)"
[ -z "$(ls /run | grep -vx adduser)" ] || fail "left in /run after stop: $(ls /run)"
dpkg_quiet -r "$NAME" || fail "dpkg -r failed"
[ ! -e "/usr/sbin/$NAME" ] || fail "the program is left after dpkg -r"
getent passwd "$NAME" >/dev/null || fail "dpkg -r removed the user (only a purge should)"
[ -e "/etc/default/$NAME" ] || fail "dpkg -r removed the conffile"
dpkg_quiet --purge "$NAME" || fail "dpkg --purge failed"
! getent passwd "$NAME" >/dev/null || fail "the user is left after the purge"
! getent group "$NAME" >/dev/null || fail "the group is left after the purge"
ok

# Every change in an overlay's upper layer must be gone or the same as below:
# a file new or different there, or a deleted one, is what the package left.
# dpkg's own records (but its status file) and the password files' backups
# (passwd- ...), which every user change rewrites, do not count.
step "nothing left"
left=()
for d in "${OVERLAYS[@]}"; do
  upper=$WORK/ov/${d//\//_}/upper lower=$WORK/ov/${d//\//_}/lower
  while IFS= read -r -d '' f; do
    rel=${f#"$upper"}
    case "$d$rel" in
      /var/lib/dpkg/status) ;;
      /var/lib/dpkg/* | /etc/passwd- | /etc/group- | /etc/shadow- | /etc/gshadow- | /etc/.pwd.lock) continue ;;
    esac
    if [ ! -L "$f" ] && [ -c "$f" ] && [ "$(stat -c '%t:%T' "$f")" = 0:0 ]; then
      left+=("deleted $d$rel")
    elif [ -d "$f" ] && [ ! -L "$f" ]; then
      [ -d "$lower$rel" ] || left+=("$d$rel/")
    elif [ -L "$f" ]; then
      [ "$(readlink "$f")" = "$(readlink "$lower$rel" 2>/dev/null)" ] || left+=("$d$rel")
    elif [ "$d$rel" = /var/lib/dpkg/status ]; then
      # Left pending by --no-triggers: man-db's index.
      diff "$lower$rel" <(sed -e '/^Triggers-Pending: /d' \
        -e 's/^Status: install ok triggers-pending$/Status: install ok installed/' "$f") >&2 \
        || left+=("$d$rel")
    else
      cmp -s "$f" "$lower$rel" || left+=("$d$rel")
    fi
  done < <(find "$upper" -mindepth 1 -print0)
done
[ -z "$(ls /run | grep -vx adduser)" ] || left+=("/run: $(ls /run)")
[ -z "$(stray_servers)" ] || left+=("servers started by subcommands: $(stray_servers)")
[ ${#left[@]} = 0 ] || fail "left behind: ${left[*]}"
ok
echo "== app package: passed"
