# shellcheck shell=bash
# e2e.sh: what the end-to-end scripts share on top of netlab.sh: the
# program under a brand name, runs of it inside a lab (in the foreground or
# several at once), its trace file, and checks that report every failure
# before the script ends.
#
# Source it from bash after `set -euo pipefail`, then call e2e_init NAME.
# Env: NETBACKEND (the built program), PRINTER_SIM, FAKE_SOCKET (job tests),
# SOURCE_DIR (optional).
#
# A run leaves its results in a directory of its own:
#   stdout   the exact bytes the program wrote to standard output
#   stamps   one line per stdout line: "<seconds since start><TAB><line>",
#            stamped as the line arrived (the program's stdout is a pipe)
#   stderr   its standard error
#   status   its exit status
#   elapsed  wall-clock seconds from start to exit
#   trace    its trace file, moved out of the user's home (absent if none)

_e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netlab.sh source-path=SCRIPTDIR
source "$_e2e_here/netlab.sh"

declare -g E2E_NAME=""
declare -g E2E_TMP=""
declare -g E2E_HOME=""
declare -gi E2E_FAILS=0
declare -ga E2E_BG=()

_e2e_cleanup() {
  [[ -n $E2E_HOME && -n $E2E_NAME ]] &&
    rm -f -- "$E2E_HOME"/*-e2e-"$E2E_NAME"-$$-*.log
  [[ -n $E2E_TMP ]] && rm -rf -- "$E2E_TMP"
  return 0
}

# e2e_init NAME: checks the environment, makes the temporary directory and
# installs the cleanup (run after netlab's, which stops the labs first).
e2e_init() {
  E2E_NAME=$1
  [[ -x ${NETBACKEND:-} ]] || { echo "$E2E_NAME: NETBACKEND must name the built program" >&2; exit 1; }
  [[ -x ${PRINTER_SIM:-} ]] || { echo "$E2E_NAME: PRINTER_SIM must name the built printer_sim" >&2; exit 1; }
  # The trace goes to the password database's home of the user, not $HOME.
  E2E_HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
  [[ -n $E2E_HOME ]] || { echo "$E2E_NAME: no home directory for uid $(id -u)" >&2; exit 1; }
  E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/e2e.$E2E_NAME.XXXXXX")
  trap _e2e_cleanup EXIT
  mkdir -p "$E2E_TMP/bin"
}

e2e_fail() {
  echo "FAIL $E2E_NAME: $*" >&2
  E2E_FAILS+=1
}

# e2e_finish: ends the script, with status 1 when any check failed.
e2e_finish() {
  if ((E2E_FAILS > 0)); then
    echo "$E2E_NAME: $E2E_FAILS check(s) failed" >&2
    exit 1
  fi
  echo "$E2E_NAME: ok"
  exit 0
}

# e2e_exe WORD CASE: the program under the file name WORD-e2e-<test>-<pid>-CASE
# (a hard link, or a copy across file systems: the brand comes from the
# resolved file name, which a symbolic link would not change). WORD's first
# letter picks the brand: tamo -> Tamo, gprinter -> every printer.
e2e_exe() {
  local path="$E2E_TMP/bin/$1-e2e-$E2E_NAME-$$-$2"
  ln -f "$NETBACKEND" "$path" 2>/dev/null || cp "$NETBACKEND" "$path"
  echo "$path"
}

# e2e_marker KIND: a directory to use as TMPDIR: with the file .slog (full
# trace), .slog_varn (only 'I' lines) or none (KIND "off").
e2e_marker() {
  local dir="$E2E_TMP/marker-$1"
  if [[ ! -d $dir ]]; then
    mkdir -p "$dir"
    case $1 in
      full) : >"$dir/.slog" ;;
      varn) : >"$dir/.slog_varn" ;;
      off) ;;
      *) echo "e2e_marker: unknown kind $1" >&2; return 1 ;;
    esac
  fi
  echo "$dir"
}

# e2e_run OUT LAB CMD...: runs CMD in LAB's host namespace and records the
# run in OUT (see the top). CMD's first word after any VAR=value words is
# the program; pass settings as `env VAR=value ... program args`.
e2e_run() {
  local out=$1 lab=$2
  shift 2
  mkdir -p "$out"
  local start end st
  start=$EPOCHREALTIME
  set +e
  ip netns exec "${lab}-h" "$@" 2>"$out/stderr" </dev/null |
    tee "$out/stdout" |
    while IFS= read -r line || [[ -n $line ]]; do
      printf '%s\t%s\n' "$EPOCHREALTIME" "$line"
    done >"$out/stamps.abs"
  st=${PIPESTATUS[0]}
  set -e
  end=$EPOCHREALTIME
  echo "$st" >"$out/status"
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' >"$out/elapsed"
  awk -F '\t' -v s="$start" '{ t = $1; sub(/^[^\t]*\t/, ""); printf "%.3f\t%s\n", t - s, $0 }' \
    "$out/stamps.abs" >"$out/stamps"
}

# e2e_run_bg OUT LAB CMD...: the same in the background; e2e_wait_all waits.
e2e_run_bg() {
  e2e_run "$@" &
  E2E_BG+=("$!")
}

e2e_wait_all() {
  local pid
  for pid in "${E2E_BG[@]}"; do
    wait "$pid" || e2e_fail "a background run (pid $pid) failed to record itself"
  done
  E2E_BG=()
}

# e2e_take_trace OUT EXE: moves EXE's trace file ("<home>/<name>|<pid>.log")
# to OUT/trace. Fails when the run left more than one.
e2e_take_trace() {
  local out=$1 name
  name=$(basename "$2")
  local files=("$E2E_HOME/$name|"*.log)
  [[ -e ${files[0]} ]] || return 0
  if ((${#files[@]} > 1)); then
    e2e_fail "$name left ${#files[@]} trace files"
    rm -f -- "${files[@]}"
    return 0
  fi
  mv -- "${files[0]}" "$out/trace"
}

# e2e_trace_lines FILE SOURCE FUNCTION: the message texts of the trace lines
# that SOURCE's FUNCTION wrote, one per line (header and "[file-line-function]"
# removed). Lines of hex dumps, which have no header, are skipped.
e2e_trace_lines() {
  [[ -f $1 ]] || return 0
  grep -a "^|.* \[$2-[0-9]*-$3\]\$" "$1" | sed -e 's/^|[^|]*| //' -e 's/ \[[^]]*\]$//'
}

# e2e_line NAME MAC MAKE_AND_MODEL BRAND N IP: one expected device line.
e2e_line() {
  printf 'network %s://%s "%s" "%s Network Printer #%s (%s)" "%s"\n' "$1" "$2" "$3" "$4" "$5" "$2" "$6"
}

# --- checks: each reports and counts a failure, none ends the script ---

e2e_expect_eq() {  # WHAT GOT WANT
  [[ $2 == "$3" ]] || e2e_fail "$1: got '$2', want '$3'"
}

e2e_expect_status() {  # OUT WANT
  e2e_expect_eq "${1##*/}: exit status" "$(cat "$1/status")" "$2"
}

e2e_expect_empty() {  # WHAT FILE
  if [[ -s $2 ]]; then
    e2e_fail "$1 should be empty, holds:"
    head -c 2000 "$2" | cat -A >&2
  fi
}

# e2e_expect_bytes WHAT FILE WANT: FILE holds exactly the bytes WANT.
e2e_expect_bytes() {
  local want="$E2E_TMP/want.$BASHPID.$RANDOM"
  printf '%s' "$3" >"$want"
  if ! cmp -s "$2" "$want"; then
    e2e_fail "$1 differs (- want, + got; cat -A):"
    diff -u <(cat -A "$want") <(cat -A "$2") | tail -n +3 >&2 || true
  fi
  rm -f -- "$want"
}

# e2e_expect_between WHAT VALUE LO HI: LO <= VALUE <= HI (decimals allowed).
e2e_expect_between() {
  awk -v v="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(v + 0 >= lo + 0 && v + 0 <= hi + 0) }' ||
    e2e_fail "$1: $2 not within [$3, $4]"
}

# e2e_expect_full_run OUT [TRACE]: a listing run that waited out its whole
# budget: status 0, nothing on stderr, 14 to 20 s until exit, and, given
# TRACE, a discovery run that began and ended.
e2e_expect_full_run() {
  local r=${1##*/}
  e2e_expect_status "$1" 0
  e2e_expect_empty "$r: stderr" "$1/stderr"
  e2e_expect_between "$r: seconds until exit" "$(cat "$1/elapsed")" 14 20
  if [[ ${2:-} == trace ]]; then
    e2e_expect_eq "$r: discover's trace" "$(e2e_trace_lines "$1/trace" src/kvt discover)" \
      $'begin\nend'
  fi
}

# e2e_expect_line WHAT FILE LINE: FILE has a line exactly LINE.
e2e_expect_line() {
  grep -qxF -- "$3" "$2" 2>/dev/null || {
    e2e_fail "$1: no line '$3' in:"
    [[ -f $2 ]] && cat -A "$2" >&2
    return 0
  }
}

# e2e_expect_no_line WHAT FILE LINE: FILE has no line exactly LINE.
e2e_expect_no_line() {
  ! grep -qxF -- "$3" "$2" 2>/dev/null || e2e_fail "$1: unexpected line '$3'"
}
