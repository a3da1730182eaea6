#!/usr/bin/env bash
# long-run.sh BUILD_DIR SECONDS TARGET...
# A long session of each carve target with an RSS limit: fuzzes until at
# least 10^6 sectors went through it (counted by the target) or SECONDS
# passed, then minimises the committed corpus together with what the session
# found (-merge=1) and puts the minimised set in tests/fuzz/corpus/TARGET.
# Prints per target the runs, the sectors fuzzed and the corpus size; stops
# at the first crash, leaving it in the scratch folder.
set -euo pipefail
build="$(readlink -f "$1")"; seconds="$2"; shift 2
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
scratch="$(mktemp -d)"
export SALVOR_WORK_DIR="$scratch/work" SALVOR_FUZZ_COUNT_SECTORS=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for t in "$@"; do
    corpus="$here/corpus/$t"
    mkdir -p "$scratch/$t" "$scratch/$t.min"
    total=0; runs=0; left="$seconds"
    while [ "$total" -lt 1000000 ] && [ "$left" -gt 0 ]; do
        start=$(date +%s)
        if ! "$build/$t" -runs=20000 -max_total_time="$left" -max_len=16384 -rss_limit_mb=1024 -timeout=30 \
                -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$scratch/$t-" "$scratch/$t" "$corpus" \
                > "$scratch/$t.log" 2>&1; then
            tail -n 40 "$scratch/$t.log" >&2
            echo "long-run: $t failed; inputs in $scratch" >&2
            exit 1
        fi
        n=$(sed -n 's/^fuzzed sectors: //p' "$scratch/$t.log" | tail -n 1)
        r=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log" | tail -n 1)
        total=$((total + ${n:-0})); runs=$((runs + ${r:-0}))
        left=$((left - ($(date +%s) - start)))
    done
    "$build/$t" -merge=1 -rss_limit_mb=1024 -close_fd_mask=1 "$scratch/$t.min" "$corpus" "$scratch/$t" \
        > "$scratch/$t.merge.log" 2>&1
    rm -f "$corpus"/* && cp "$scratch/$t.min"/* "$corpus/"
    echo "$t: runs=$runs sectors=$total corpus=$(ls "$corpus" | wc -l) files $(du -sk "$corpus" | cut -f1) KiB"
done
rm -rf "$scratch"
