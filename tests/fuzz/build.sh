#!/usr/bin/env bash
# Builds every fuzz target of tests/fuzz with clang and libFuzzer.
# Usage: tests/fuzz/build.sh [BUILD_DIR]   (default: build/fuzz in the repo)
# Prints the build folder on its last line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-${SALVOR_FUZZ_BUILD_DIR:-$root/build/fuzz}}"

for tool in clang clang++; do
    command -v "$tool" >/dev/null || { echo "fuzz: $tool missing (package clang)" >&2; exit 1; }
done
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long){return 0;}' |
        clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
    echo "fuzz: libFuzzer missing (package libclang-rt-14-dev)" >&2
    exit 1
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "${SALVOR_FUZZ_JOBS:-3}" >&2
echo "$build"
