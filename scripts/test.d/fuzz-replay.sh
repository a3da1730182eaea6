#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz (clang, libFuzzer, ASan/UBSan) and
# replays each target's committed corpus, then fuzzes each briefly. New
# inputs go to a scratch folder; the committed corpus is never changed.
# Usage: scripts/test.d/fuzz-replay.sh REPO_ROOT
# SALVOR_FUZZ_SECONDS: total seconds of fresh fuzzing shared by all targets (default 30).
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
build="$("$root/tests/fuzz/build.sh" "${SALVOR_FUZZ_BUILD_DIR:-$root/build/fuzz}" | tail -n 1)"

mapfile -t targets < <(find "$root/tests/fuzz/corpus" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
[ ${#targets[@]} -gt 0 ] || { echo "fuzz-replay: no corpus folders in tests/fuzz/corpus" >&2; exit 1; }
budget="${SALVOR_FUZZ_SECONDS:-30}"
each=$(( budget / ${#targets[@]} ))
[ "$each" -ge 3 ] || each=3

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The engine's log goes to the scratch folder, not beside the targets.
export SALVOR_WORK_DIR="$scratch/work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for t in "${targets[@]}"; do
    bin="$build/$t"
    corpus="$root/tests/fuzz/corpus/$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz-replay: corpus/$t has no target $t (add it to tests/fuzz/CMakeLists.txt)" >&2
        status=1
        continue
    fi
    mkdir -p "$scratch/$t"
    log="$scratch/$t.log"
    echo "fuzz-replay: $t: replaying $(find "$corpus" -type f | wc -l) inputs, then ${each}s of fuzzing"
    if ! "$bin" -runs=0 -rss_limit_mb=2048 "$corpus" >"$log" 2>&1 ||
       ! "$bin" -max_total_time="$each" -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$scratch/$t-" "$scratch/$t" "$corpus" >>"$log" 2>&1; then
        tail -n 60 "$log" >&2
        for a in "$scratch/$t"-*; do
            [ -e "$a" ] && { echo "fuzz-replay: failing input (base64): $a" >&2; base64 "$a" >&2; }
        done
        status=1
        continue
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" | tr '\n' ' '
    echo
done
exit "$status"
