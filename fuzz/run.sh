#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each over
# its committed seed corpus.
#
#   fuzz/run.sh [SECONDS] [TARGET...]  run each target SECONDS (default 60);
#                                      FUZZ_JOBS=2 runs two at a time
#   fuzz/run.sh --seed                 rebuild the committed corpora: seeds
#                                      from tests/data, minimised by merging
#
# New inputs go to build/fuzz/corpus/<target>/ (the committed fuzz/corpus/ is
# only read), crashes to build/fuzz/artifacts/, logs to build/fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
all_targets=(fuzz_parser fuzz_record fuzz_canonical fuzz_diff)

max_len() {
  case "$1" in
    fuzz_parser) echo 8192 ;;
    fuzz_diff) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build" -G Ninja -DKORVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target "${all_targets[@]}"

if [ "${1:-}" = "--seed" ]; then
  rm -rf "$build/seeds"
  python3 fuzz/make_seeds.py "$build/seeds"
  for t in "${all_targets[@]}"; do
    rm -rf "fuzz/corpus/$t"
    mkdir -p "fuzz/corpus/$t"
    "$build/fuzz/$t" -merge=1 -max_len="$(max_len "$t")" "fuzz/corpus/$t" "$build/seeds/$t" \
      2>"$build/seeds/$t.log" || { tail -20 "$build/seeds/$t.log"; exit 1; }
    echo "$t: $(ls "fuzz/corpus/$t" | wc -l) inputs, $(du -sk "fuzz/corpus/$t" | cut -f1) kB"
  done
  exit 0
fi

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
jobs=${FUZZ_JOBS:-1}
mkdir -p "$build/artifacts" "$build/logs"

run_target() {
  local t=$1
  mkdir -p "$build/corpus/$t"
  "$build/fuzz/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1
}

status=0
pids=()
for t in "${targets[@]}"; do
  run_target "$t" &
  pids+=("$!:$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    entry=${pids[0]}
    pids=("${pids[@]:1}")
    if ! wait "${entry%%:*}"; then
      echo "${entry#*:}: FAILED, see $build/logs/${entry#*:}.log"
      status=1
    fi
  fi
done
for entry in "${pids[@]}"; do
  if ! wait "${entry%%:*}"; then
    echo "${entry#*:}: FAILED, see $build/logs/${entry#*:}.log"
    status=1
  fi
done

for t in "${targets[@]}"; do
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$t.log" | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*/[0-9]*[a-zA-Z]*' "$build/logs/$t.log" | tail -1 || true)
  echo "$t: ${seconds}s, $runs executions, $cov"
done
exit $status
