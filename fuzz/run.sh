#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build, one after the other, from its seed
# corpus. Usage: fuzz/run.sh BUILD_DIR SECONDS [RUNS]
#   SECONDS  time per target (libFuzzer's -max_total_time)
#   RUNS     when given, a fixed number of inputs per target with a fixed seed instead,
#            so that a run is repeatable (what CI uses)
# New inputs go to BUILD_DIR/fuzz-corpus/<target>; a finding is written to
# BUILD_DIR/fuzz-artifacts/ and fails the run.
set -euo pipefail
build=$1
seconds=$2
runs=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for fuzzer in "$build"/bin/fuzz_*; do
  name=$(basename "$fuzzer")
  case "$name" in *_corpus) continue ;; esac
  target=${name#fuzz_}
  work="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/"
  mkdir -p "$work" "$artifacts"
  if [ -n "$runs" ]; then
    limit=(-runs="$runs" -seed=1)
  else
    limit=(-max_total_time="$seconds")
  fi
  echo "== $target"
  if ! "$fuzzer" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts$target-" "$work" "$here/corpus/$target" 2>"$build/fuzz-$target.log"; then
    status=1
    grep -E 'ERROR|SUMMARY|Test unit written' "$build/fuzz-$target.log" || tail -20 "$build/fuzz-$target.log"
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^Done' "$build/fuzz-$target.log" || true
done
exit $status
