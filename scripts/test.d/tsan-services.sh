#!/usr/bin/env bash
# Builds the services tests with ThreadSanitizer and runs those where a scan's
# worker, a search thread and the main thread's tree pulls meet, a deep scan's
# searchers analyse side by side, a deep scan stopped while a read hangs gives
# the read up and builds, and a saved scan's save and load threads
# with a recovery after the load, and the device list read again on a thread
# of its own while the main thread asks for it.
# Usage: tsan-services.sh [repository root]   (default: the repository holding this script)
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
# One ThreadSanitizer tree, the Qt Widgets layers on, serves every tsan pass:
# what they share is compiled once.
build="${SALVOR_TSAN_BUILD:-$root/build/tsan}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DSALVOR_TSAN=ON -DSALVOR_SANITIZE=OFF -DSALVOR_BUILD_UI=ON -DSALVOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target services_test savedscan_test engine_controller_test -j "${SALVOR_JOBS:-3}"
export QT_QPA_PLATFORM=offscreen
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    "$build/tests/services/services_test" --gtest_brief=1 \
    --gtest_filter='ScanEndToEnd.QuickScanOfAFat32*:ScanEndToEnd.AsRootADeepScanStopped*:ScanOperation.*:RecoveryStop.*:NameSearch.*:RecoveryEndToEnd.ExfatVolumeAndTheDeepScan*:DeviceList.*'
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    "$build/tests/engine/controller/engine_controller_test" --gtest_brief=1 --gtest_filter='ControllerTest.*'
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    "$build/tests/savedscan/savedscan_test" --gtest_brief=1 \
    --gtest_filter='SavedScanEndToEnd.QuickScanOfAFat32*:SavedScanEndToEnd.Finding*'
