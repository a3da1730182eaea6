#!/usr/bin/env bash
# Builds the grid test with ThreadSanitizer and runs its thumbnail case:
# images made on a std::thread travel to the grid items on the main thread.
# Usage: tsan-grid.sh [repository root]   (default: the repository holding this script)
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
# One ThreadSanitizer tree, the Qt Widgets layers on, serves every tsan pass:
# what they share is compiled once.
build="${SALVOR_TSAN_BUILD:-$root/build/tsan}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DSALVOR_TSAN=ON -DSALVOR_SANITIZE=OFF -DSALVOR_BUILD_UI=ON -DSALVOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target ui_widgets_gridview_test -j "${SALVOR_JOBS:-3}"
# Qt itself is not instrumented: its own locks are invisible to the sanitizer,
# so reports whose every frame is inside Qt are suppressed (tsan-qt.supp).
QT_QPA_PLATFORM=offscreen \
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} suppressions=$root/scripts/test.d/tsan-qt.supp" \
    "$build/tests/ui/widgets/ui_widgets_gridview_test" thumbnailsFromAThread
