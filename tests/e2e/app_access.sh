#!/usr/bin/env bash
# Who may do what in the printer application, as a local user, another
# host and a hostile page would try it (the logins through PAM are the
# package suite's, cups_app_package.sh, where the service runs as its unit
# says):
#   local    a user other than root reaches the socket and is refused
#            every change; on loopback the web pages that change something
#            and IPP management want a login;
#   remote   from the printer's side of the lab, printing works, managing
#            wants TLS and a login;
#   owner    a job is canceled by its owner alone;
#   host     a request for another host's name is refused (DNS rebinding);
#   device   no printer may have this host as its device.
# Needs root. Env: see lib/app.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/app.sh source-path=SCRIPTDIR
source "$here/lib/app.sh"
app_init access

lab=appa$$
netlab_up "$lab"
app_start "$lab"
app_add "$lab" p tamo://80C4A2E691D5 pcl
uri=$(app_uri p)
remote=ipp://10.77.0.1:$APP_PORT/ipp/print/p
web() { netlab_run_host "$lab" curl -s -o /dev/null -w '%{http_code}' "$@"; }
expect_op() { e2e_expect_eq "$1" "$(app_op "$lab" "${@:2:4}" | cut -d' ' -f1)" "$6"; }

# --- local: the socket's peer is known; nobody may change a thing ---
dir=$(netlab_tmpdir "$lab")/app
chmod 0711 "$dir" "$dir/state"
as_nobody() { app_run "$lab" setpriv --reuid=nobody --regid=nogroup --clear-groups "$APP" "$@"; }
as_nobody add -d x -v tamo://80C4A2E691D6 -m pcl >/dev/null 2>&1 &&
  e2e_fail "local: nobody added a printer through the socket"
as_nobody shutdown >/dev/null 2>&1 && e2e_fail "local: nobody shut the server down"
e2e_expect_eq "local: printers after nobody's tries" "$(app_cmd "$lab" printers)" p
for page in /addprinter /config /p/delete; do
  e2e_expect_eq "local: $page without a login" "$(web "http://127.0.0.1:$APP_PORT$page")" 401
done
e2e_expect_eq "local: a form posted without a login" \
  "$(web -d location=x "http://127.0.0.1:$APP_PORT/config")" 401
e2e_expect_eq "local: a status page" "$(web "http://127.0.0.1:$APP_PORT/p")" 200
for op in Pause-Printer Disable-Printer Cancel-Jobs Set-Printer-Attributes; do
  expect_op "local: $op" "$uri" "$op" mallory "" client-error-not-authenticated
done

# --- remote: printing is open, managing is not ---
read -r st job < <(APP_FROM=p app_op "$lab" "$remote" Print-Job alice)
e2e_expect_eq "remote: Print-Job" "$st" successful-ok
e2e_expect_eq "remote: /addprinter" "$(APP_FROM=p netlab_run_printer "$lab" curl -s -o /dev/null \
  -w '%{http_code}' "http://10.77.0.1:$APP_PORT/addprinter")" 301
e2e_expect_eq "remote: a form posted" "$(netlab_run_printer "$lab" curl -s -o /dev/null \
  -w '%{http_code}' -d x=y "http://10.77.0.1:$APP_PORT/config")" 426

# --- owner: alice's job is hers ---
APP_FROM=p expect_op "owner: mallory cancels from afar" "$remote" Cancel-Job mallory "$job" \
  client-error-not-authenticated
expect_op "owner: mallory cancels on loopback" "$uri" Cancel-Job mallory "$job" \
  client-error-not-authenticated
APP_FROM=p expect_op "owner: alice cancels" "$remote" Cancel-Job alice "$job" successful-ok

# --- host: only this host's names ---
for host in evil.example 1rebind.evil.example evil.local; do
  e2e_expect_eq "host: $host" "$(web -H "Host: $host" "http://127.0.0.1:$APP_PORT/")" 400
done
for host in localhost 127.0.0.1:$APP_PORT 10.77.0.1 "[::1]:$APP_PORT"; do
  e2e_expect_eq "host: $host" "$(web -H "Host: $host" "http://127.0.0.1:$APP_PORT/")" 200
done

# --- device: never this host ---
for device in socket://127.0.0.1:7778 socket://10.77.0.1 socket://localhost:9100; do
  said=$(app_cmd "$lab" add -d own -v "$device" -m pcl 2>&1) &&
    e2e_fail "device: $device was added"
  [[ $said == *"may not be this host"* ]] || e2e_fail "device: $device refused without why: $said"
done
e2e_expect_eq "device: printers" "$(app_cmd "$lab" printers)" p

app_stop "$lab"
e2e_finish
