#!/usr/bin/env bash
# The discovery's one 15-second budget, seen from outside: three labs at once.
#   chatty  a printer answering once a second for 30 seconds does not keep
#           the listing alive: it ends after about 15 seconds with about 15
#           lines, numbered 1, 2, 3, ...;
#   silent  nobody answers: the listing ends after about 15 seconds with no
#           output, and the trace shows discover's "begin" and "end" and none
#           of the program's 'I' lines;
#   quiet   the same with only 'I' lines enabled (.slog_varn): the trace file
#           is created and stays empty, so no 'I' line was written.
# Needs root. Env: NETBACKEND, PRINTER_SIM.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/e2e.sh source-path=SCRIPTDIR
source "$here/lib/e2e.sh"
e2e_init budget

full=$(e2e_marker full)
varn=$(e2e_marker varn)

lab_c=bdgc$$
netlab_up "$lab_c"
netlab_sim "$lab_c" --printer --macuaa 0123456789AB --ip 10.77.0.2 --vidpid 2E970001 \
  --device-id 'MFG:Tamo;MDL:Chatty;' --repeat 30 --interval-ms 1000
exe_c=$(e2e_exe tamo c)
n_c=$(basename "$exe_c")

# No simulator at all in these two: nothing can answer.
lab_s=bdgs$$
netlab_up "$lab_s"
exe_s=$(e2e_exe tamo s)
lab_q=bdgq$$
netlab_up "$lab_q"
exe_q=$(e2e_exe tamo q)

out=$E2E_TMP/out
e2e_run_bg "$out/chatty" "$lab_c" env TMPDIR="$full" "$exe_c"
e2e_run_bg "$out/silent" "$lab_s" env TMPDIR="$full" "$exe_s"
e2e_run_bg "$out/quiet" "$lab_q" env TMPDIR="$varn" "$exe_q"
e2e_wait_all
e2e_take_trace "$out/chatty" "$exe_c"
e2e_take_trace "$out/silent" "$exe_s"
e2e_take_trace "$out/quiet" "$exe_q"

for r in chatty silent quiet; do
  e2e_expect_full_run "$out/$r"
done

# chatty: replies at 0, 1, 2, ... s; the budget ends between the 15th and
# 16th, so 15 lines, give or take one for scheduling at the edges.
lines=$(wc -l <"$out/chatty/stdout")
e2e_expect_between "chatty: number of device lines" "$lines" 14 16
want=""
for ((i = 1; i <= lines; i++)); do
  want+=$(e2e_line "$n_c" 80C4A2E691D5 'MFG:Tamo;MDL:Chatty;' Tamo "$i" 10.77.0.2)$'\n'
done
e2e_expect_bytes "chatty: stdout" "$out/chatty/stdout" "$want"
e2e_expect_eq "chatty: discover's trace" "$(e2e_trace_lines "$out/chatty/trace" src/kvt discover)" \
  $'begin\nend'

e2e_expect_empty "silent: stdout" "$out/silent/stdout"
e2e_expect_eq "silent: discover's trace" "$(e2e_trace_lines "$out/silent/trace" src/kvt discover)" \
  $'begin\nend'
e2e_expect_eq "silent: main's trace" "$(e2e_trace_lines "$out/silent/trace" src/netbackend main)" ""

e2e_expect_empty "quiet: stdout" "$out/quiet/stdout"
if [[ -f $out/quiet/trace ]]; then
  e2e_expect_empty "quiet: trace with only 'I' lines enabled" "$out/quiet/trace"
else
  e2e_fail "quiet: no trace file was created"
fi

e2e_finish
