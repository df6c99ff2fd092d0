#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each for a while on a copy of its
# seed corpus. Usage:
#   scripts/fuzz.sh [--seconds N] [--jobs N] [target...]
# N seconds a target (60); --jobs targets at once (1). Targets: fuzz_avi fuzz_ser fuzz_bmp fuzz_ini
# fuzz_cli (all by default). Exits non-zero when a target fails, naming the input that did it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
jobs=1
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?}; shift 2 ;;
    --jobs) jobs=${2:?}; shift 2 ;;
    fuzz_avi | fuzz_ser | fuzz_bmp | fuzz_ini | fuzz_cli) targets+=("$1"); shift ;;
    *) echo "usage: scripts/fuzz.sh [--seconds N] [--jobs N] [fuzz_avi|fuzz_ser|fuzz_bmp|fuzz_ini|fuzz_cli...]" >&2
       exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_avi fuzz_ser fuzz_bmp fuzz_ini fuzz_cli)

scripts/ensure-packages.sh test
dir=build-fuzz
start=$SECONDS
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKESTREL_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
echo "fuzz targets built in $((SECONDS - start)) s"

# Longest input worth trying: a few frames, a small bitmap, a settings file, a command line.
declare -A max_len=([fuzz_avi]=65536 [fuzz_ser]=65536 [fuzz_bmp]=16384 [fuzz_ini]=8192 [fuzz_cli]=1024)
declare -A dict=([fuzz_avi]=avi [fuzz_ser]=ser [fuzz_bmp]=bmp [fuzz_ini]=ini [fuzz_cli]=cli)

run() {
  local t=$1 work=$dir/corpus/$1 log=$dir/logs/$1.log
  mkdir -p "$work" "$dir/logs" "$dir/crashes"
  # The work corpus grows from run to run; the committed seeds stay as they are.
  cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  local begin=$SECONDS status=0
  # Absurd sizes must be refused before allocating: an allocation past the limit is a failure.
  "$dir/fuzz/$t" "$work" -dict="fuzz/${dict[$t]}.dict" -max_len="${max_len[$t]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/crashes/$t-" >"$log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    echo "$t: FAILED (exit $status) after $((SECONDS - begin)) s, ${execs:-?} executions; log $log"
    grep -E '^==[0-9]+==ERROR|runtime error|SUMMARY|ALARM|deadly signal' "$log" | head -5 || true
    sed -n 's/.*Test unit written to \(.*\)$/crash input: \1/p' "$log"
    return 1
  fi
  echo "$t: ${execs:-?} executions in $((SECONDS - begin)) s, corpus $(ls "$work" | wc -l) inputs"
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
echo "fuzz stage took $((SECONDS - start)) s"
exit $failed
