#!/usr/bin/env bash
# Builds the device tests with ThreadSanitizer and runs them: the read-ahead
# thread, the message centre and the asynchronous reads meet other threads.
# Usage: tsan-device.sh [repository root]   (default: the repository holding this script)
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
# One ThreadSanitizer tree, the Qt Widgets layers on, serves every tsan pass:
# what they share is compiled once.
build="${SALVOR_TSAN_BUILD:-$root/build/tsan}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DSALVOR_TSAN=ON -DSALVOR_SANITIZE=OFF -DSALVOR_BUILD_UI=ON -DSALVOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target engine_device_test -j "${SALVOR_JOBS:-3}"
# Multiple runs of the stress test make an ordering fault likelier to show.
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    "$build/tests/engine/device/engine_device_test" --gtest_brief=1
