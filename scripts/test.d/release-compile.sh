#!/usr/bin/env bash
# Compiles every target, the tests included, in a Release build with warnings
# as errors: optimisation brings warnings (and template instantiation orders)
# of its own, and a packager builds Release. Nothing is run.
# Usage: release-compile.sh [repository root]   (default: the repository holding this script)
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
# Not build/release: scripts/run configures that one without tests or benchmarks.
build="${SALVOR_RELEASE_BUILD:-$root/build/release-check}"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSALVOR_SANITIZE=OFF \
    -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${SALVOR_JOBS:-$(nproc)}"
