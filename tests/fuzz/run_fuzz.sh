#!/usr/bin/env bash
# Runs every fuzz target of a KW_FUZZ build for a while, each pinned to a core
# of its own, and prints per target its runs per second, its new inputs and its
# findings. Seeds come from tests/fuzz/corpus/<target>/; what a run finds goes
# to a scratch folder in the build; afterwards the new inputs that add
# coverage are merged into the corpus folder, ready to commit: a minimised
# merge (-set_cover_merge=1: -merge=1 with a greedy set cover, so fewer and
# smaller inputs), which never removes an input already in the corpus.
#
#   run_fuzz.sh <build folder> [target...]
# Environment: FUZZ_SECONDS (60) time per target, FUZZ_JOBS (cores) targets at
# once, FUZZ_MERGE (1) merge back into the corpora, FUZZ_CORES (all) the cores
# to pin to, as a list "0 1 2".
set -uo pipefail

build=$(cd "${1:?usage: run_fuzz.sh <build folder> [target...]}" && pwd) || exit 1
shift
source_dir=$(cd "$(dirname "$0")" && pwd)
corpora=$source_dir/corpus
seconds=${FUZZ_SECONDS:-60}
merge=${FUZZ_MERGE:-1}
read -r -a cores <<<"${FUZZ_CORES:-$(seq -s ' ' 0 $(($(nproc) - 1)))}"
jobs=${FUZZ_JOBS:-${#cores[@]}}
scratch=$build/fuzz-scratch
rm -rf "$scratch"
mkdir -p "$scratch"

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do
    targets+=("$(find "$build/tests/fuzz" -type f -perm -u+x -name "$name" | head -1)")
  done
else
  mapfile -t targets < <(find "$build/tests/fuzz" -type f -perm -u+x -name 'fuzz_*' | sort)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/tests/fuzz (configure with KW_FUZZ=ON)" >&2
  exit 1
fi

# One target: fuzz into its scratch folder with the corpus as seeds.
run_one() {
  local binary=$1 core=$2 name
  name=$(basename "$binary")
  local work=$scratch/$name
  mkdir -p "$work/new" "$work/findings" "$corpora/$name"
  (cd "$work" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1 /usr/bin/time -o "$work/cpu" -f "%U %S" \
    taskset -c "$core" "$binary" \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -entropic_scale_per_exec_time=1 \
    -artifact_prefix="$work/findings/" "$work/new" "$corpora/$name" >"$work/log" 2>&1)
  echo "$?" >"$work/rc"
}

# Targets go round-robin to the slots; each slot runs its share in turn on its core.
for ((slot = 0; slot < jobs && slot < ${#targets[@]}; ++slot)); do
  (
    for ((i = slot; i < ${#targets[@]}; i += jobs)); do
      run_one "${targets[$i]}" "${cores[$((slot % ${#cores[@]}))]}"
    done
  ) &
done
wait

status=0
# runs/s counts wall time, as libFuzzer does; runs per CPU second is what the
# target reaches on a core of its own, whatever else the machine is doing.
printf '%-28s %10s %10s %12s %8s %9s\n' target runs/s runs/cpu-s runs new findings
for binary in "${targets[@]}"; do
  name=$(basename "$binary")
  work=$scratch/$name
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  found=$(find "$work/findings" -type f | wc -l)
  fresh=$(find "$work/new" -type f | wc -l)
  cpu=$(awk '{ print $1 + $2 }' "$work/cpu" 2>/dev/null)
  per_cpu=$(awk -v r="${runs:-0}" -v c="${cpu:-0}" 'BEGIN { if (c > 0) printf "%d", r / c; else print "?" }')
  printf '%-28s %10s %10s %12s %8s %9s\n' "$name" "${speed:-?}" "$per_cpu" "${runs:-?}" "$fresh" "$found"
  if [ "$found" -gt 0 ] || [ "$(cat "$work/rc")" != 0 ]; then
    status=1
    echo "  findings in $work/findings, log $work/log"
  fi
done

if [ "$merge" = 1 ]; then
  for binary in "${targets[@]}"; do
    name=$(basename "$binary")
    work=$scratch/$name
    [ -n "$(ls -A "$work/new")" ] || continue
    before=$(find "$corpora/$name" -type f | wc -l)
    (cd "$work" && ASAN_OPTIONS=detect_leaks=0 "$binary" -set_cover_merge=1 -timeout=10 \
      -rss_limit_mb=2048 "$corpora/$name" "$work/new" >"$work/merge.log" 2>&1)
    after=$(find "$corpora/$name" -type f | wc -l)
    echo "$name: corpus $before -> $after inputs"
  done
fi
exit $status
