#!/bin/bash
# The fuzz check: installs the Debian packages, builds the libFuzzer targets with clang under
# ASan/UBSan in BUILD_DIR and runs each one, bounded, on a copy of its seed corpus
# (scripts/fuzz-seeds.sh). Any crash, leak, timeout or sanitizer report fails it; the
# target's log and the input that failed stay in BUILD_DIR/fuzz-runs/<target>.
#
#   scripts/run-fuzz.sh [BUILD_DIR]     BUILD_DIR defaults to ./build-fuzz
#
# TM_FUZZ_RUNS (default 1000000) and TM_FUZZ_SECONDS (default 45) bound each target: with six
# targets the whole check stays within about five minutes on two cores.
set -euo pipefail
source "$(dirname "$0")/as-root.sh"

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-build-fuzz}")
runs=${TM_FUZZ_RUNS:-1000000}
seconds=${TM_FUZZ_SECONDS:-45}

"$source_dir/scripts/install-deps.sh"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
    -DTMSERVER_SANITIZE=ON -DTMSERVER_FUZZ=ON
cmake --build "$build_dir" -j2 --target fuzz_targets

failed=0
for target in "$build_dir"/tests/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    work=$build_dir/fuzz-runs/$name
    rm -rf "$work"
    "$source_dir/scripts/fuzz-seeds.sh" "$name" "$work/corpus"
    if (cd "$work" && "$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        corpus >log 2>&1); then
        echo "fuzz_$name: $(grep -E '^Done' "$work/log")"
    else
        echo "fuzz_$name failed (log and input in $work):"
        tail -n 60 "$work/log"
        failed=1
    fi
done
exit "$failed"
