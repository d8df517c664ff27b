#!/usr/bin/env bash
# Runs every fuzz target listed in fuzz/targets.txt for a bounded time, all
# side by side, each from a scratch copy of its seed corpus
# so the run never writes into the repository's corpus.
#
#   scripts/fuzz.sh BUILD_DIR        (targets built with clang and libFuzzer)
#
# FUZZ_SECONDS (default 45) bounds each target's run; FUZZ_JOBS (default: all
# of them; with more targets than cores, each gets a share of the cores for
# the whole time rather than a second round) bounds how many run at once; FUZZ_EXCLUDE is a regular
# expression of seed file names to leave out of the scratch corpus.
# A crash, leak, timeout or out-of-memory fails the run; the input that caused
# it is kept as fuzz/crashes/<name>/<kind>-<sha1>: add it to fuzz/corpus/<name>/
# once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: scripts/fuzz.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-45}
jobs=${FUZZ_JOBS:-$(grep -cvE '^[[:space:]]*(#|$)' fuzz/targets.txt)}
exclude=${FUZZ_EXCLUDE:-}
scratch="$build/fuzz-run"

rm -rf "$scratch"
mkdir -p "$scratch"

run_one() {
  local name=$1 max_len=$2
  local corpus="$scratch/$name/corpus" log="$scratch/$name.log" crashes="fuzz/crashes/$name"
  mkdir -p "$corpus" "$crashes"
  for seed in fuzz/corpus/"$name"/*; do
    [ -f "$seed" ] || continue
    if [ -n "$exclude" ] && [[ $(basename "$seed") =~ $exclude ]]; then continue; fi
    cp "$seed" "$corpus/"
  done
  # -timeout: one input taking this long is a hang; -rss_limit_mb: the
  # machine is shared by every target at once.
  if "$build/fuzz_$name" "$corpus" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1; then
    rmdir "$crashes" 2>/dev/null || true
    echo "ok" >"$scratch/$name.status"
  else
    echo "failed" >"$scratch/$name.status"
  fi
}

names=()
while read -r name max_len _; do
  case "$name" in '' | '#'*) continue ;; esac
  [ -x "$build/fuzz_$name" ] || { echo "fuzz: $build/fuzz_$name was not built" >&2; exit 1; }
  names+=("$name")
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$name" "$max_len" </dev/null &
done <fuzz/targets.txt
wait

failed=0
printf '%-20s %12s %14s %10s\n' target execs/s executions corpus
for name in "${names[@]}"; do
  log="$scratch/$name.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  size=$(find "$scratch/$name/corpus" -type f | wc -l)
  printf '%-20s %12s %14s %10s\n' "$name" "${rate:--}" "${execs:--}" "$size"
  if [ "$(cat "$scratch/$name.status")" != ok ]; then
    failed=1
    echo "---- fuzz_$name failed; the last of its log ($log):" >&2
    tail -n 40 "$log" >&2
    ls "fuzz/crashes/$name" >&2 2>/dev/null || true
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed; its input is under fuzz/crashes/" >&2
  exit 1
fi
echo "fuzz: ${#names[@]} targets ran ${seconds}s each, no failure"
