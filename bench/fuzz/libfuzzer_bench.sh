#!/bin/bash
# Runs each libFuzzer target of a TMSERVER_FUZZ build for RUNS inputs (at most SECONDS each), on
# a copy of its seed corpus, and prints per target the runs done, executions per second (over the
# whole run, start-up included: libFuzzer's own figure is in whole seconds) and the final coverage:
# libFuzzer's cov: (edges) and ft: (features).
#
#   bench/fuzz/libfuzzer_bench.sh BUILD_DIR [RUNS [SECONDS]]    RUNS 100000, SECONDS 120 by default
#
# BUILD_DIR is one scripts/run-fuzz.sh has built.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(realpath "$1")
runs=${2:-100000}
seconds=${3:-120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-22s %10s %10s %8s %8s\n' target runs exec/s cov ft
for target in "$build_dir"/tests/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    "$source_dir/scripts/fuzz-seeds.sh" "$name" "$work/$name"
    started=$(date +%s%N)
    (cd "$work" && "$target" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 "$name" >"$name.log" 2>&1) \
        || { echo "fuzz_$name failed:" >&2; tail -n 40 "$work/$name.log" >&2; exit 1; }
    elapsed_ns=$(($(date +%s%N) - started))
    log=$work/$name.log
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
    printf '%-22s %10s %10s %8s %8s\n' "$name" "$done_runs" "$((done_runs * 1000000000 / elapsed_ns))" \
        "$(sed -E 's/.*cov: ([0-9]+).*/\1/' <<<"$coverage")" "$(sed -E 's/.*ft: ([0-9]+).*/\1/' <<<"$coverage")"
done
