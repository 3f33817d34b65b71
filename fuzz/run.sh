#!/usr/bin/env bash
# Builds the libFuzzer targets with the `fuzz` preset (clang, ASan + UBSan),
# replays each committed corpus, then fuzzes each target for SECONDS: the
# first argument, else $FUZZ_SECONDS, else 60. Any finding fails the run,
# and an input that takes more than a second is one: a datagram costs a few
# microseconds, so anything near a second is a walk that a flood could
# turn into a stalled run (the slow_* inputs are such walks, now cheap).
#
# Inputs that only add coverage go to build/fuzz/corpus/<target>, outside the
# repository; an input that crashes, leaks or hangs is written into
# fuzz/corpus/<target>/ as regression-<kind>-<sha1>, where every later replay
# runs it. Commit it together with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-60}}
build=build/fuzz
targets=(parse_reply parse_attribute pjl_reader)
declare -A max_len=([parse_reply]=4096 [parse_attribute]=512 [pjl_reader]=8192)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target parse_reply_fuzzer parse_attribute_fuzzer pjl_reader_fuzzer

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=()
for t in "${targets[@]}"; do
  fuzzer=$build/fuzz/${t}_fuzzer
  corpus=fuzz/corpus/$t
  work=$build/corpus/$t
  replay=$build/replay/$t
  mkdir -p "$work" "$replay"
  inputs=("$corpus"/*)

  echo "== $t: replaying ${#inputs[@]} corpus inputs"
  # A crash on replay is a known regression input: keep any artifact that
  # libFuzzer writes for it out of the corpus.
  if ! "$fuzzer" -timeout=1 -artifact_prefix="$replay/" "${inputs[@]}" >"$build/$t-replay.log" 2>&1; then
    tail -n 40 "$build/$t-replay.log"
    failed+=("$t replay")
    continue
  fi

  echo "== $t: fuzzing for ${seconds}s"
  if "$fuzzer" "$work" "$corpus" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
      -timeout=1 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$corpus/regression-" >"$build/$t-fuzz.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
      "$build/$t-fuzz.log" || true
    grep -E '^#[0-9]+.*(cov|DONE)' "$build/$t-fuzz.log" | tail -n 1 || true
  else
    tail -n 60 "$build/$t-fuzz.log"
    ls "$corpus"/regression-* 2>/dev/null | sed 's/^/new regression input: /' || true
    failed+=("$t fuzzing")
  fi
done

if ((${#failed[@]})); then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "fuzzing: no findings"
