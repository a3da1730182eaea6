#!/usr/bin/env bash
# Runs one test program with folders of its own (runtime, settings, data,
# state), so that a Salvor the same user has open is never its first
# instance, and passes only when the program ran to its last step: exit 0
# and the closing line it prints after its last step. Exit 77 (skipped)
# goes through as it is.
# Usage: run-to-end.sh CLOSING-LINE-REGEX PROGRAM [ARGS...]
set -u
[ "$#" -ge 2 ] || { echo "usage: $0 CLOSING-LINE-REGEX PROGRAM [ARGS...]" >&2; exit 2; }
closing="$1"
shift
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/config" "$work/data" "$work/state" "$work/cache"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
       XDG_STATE_HOME="$work/state" XDG_CACHE_HOME="$work/cache"
"$@" 2>&1 | tee "$work/out"
status="${PIPESTATUS[0]}"
[ "$status" = 0 ] || exit "$status"
if ! grep -Eq "$closing" "$work/out"; then
    echo "FAIL: $(basename "$1") exited 0 before its last step (no line matching: $closing)"
    exit 1
fi
exit 0
