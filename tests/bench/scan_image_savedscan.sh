#!/usr/bin/env bash
# scan_image --save and scan_image load end to end: a quick and a deep scan
# saved through the facade load back into the same listing and recover the
# same bytes; a damaged file, a missing one and another device fail with
# "load failed: code N".
# Usage: scan_image_savedscan.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" fat16_basic "$fixtures"
bash "$src/tests/fixtures/make-fixture" fat_32 "$fixtures"
img="$fixtures/fat16_basic/fat16_basic.img"
other="$fixtures/fat_32/fat_32.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image saved scan: $*" >&2; exit 1; }
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | sort; }
for mode in quick deep; do
    "$probe" "$mode" "$img" --services --save "$out/$mode.rsf" --recover "$out/$mode.live" > "$out/$mode.scan" 2>/dev/null ||
        fail "$mode: --save failed"
    "$probe" load "$out/$mode.rsf" --device "$img" --recover "$out/$mode.loaded" > "$out/$mode.load" 2>/dev/null ||
        fail "$mode: load failed"
    diff <(grep -v '^nodes=\|^recovered=' "$out/$mode.scan" | sort) <(grep -v '^nodes=\|^recovered=' "$out/$mode.load" | sort) >&2 ||
        fail "$mode: the loaded listing differs"
    diff <(sums "$out/$mode.live") <(sums "$out/$mode.loaded") >&2 || fail "$mode: recovered bytes differ after the load"
done
"$probe" load "$out/quick.rsf" --device "$img" --search LONG > "$out/search" 2>/dev/null || fail "load --search failed"
grep -qx $'32\tL\t5000\tDocs/A rather long file name.bin' "$out/search" || fail "load --search lost the match"
expect_failure() { # expect_failure WHAT CODE ARGS...
    local what="$1" code="$2"; shift 2
    if "$probe" load "$@" > /dev/null 2> "$out/err"; then fail "$what: exited 0"; fi
    grep -qx "load failed: code $code" "$out/err" || fail "$what: $(tail -n 1 "$out/err")"
}
head -c $(( $(stat -c %s "$out/quick.rsf") - 10 )) "$out/quick.rsf" > "$out/cut.rsf"
expect_failure "a cut file" 8 "$out/cut.rsf" --device "$img"
expect_failure "a missing file" 2 "$out/none.rsf" --device "$img"
expect_failure "another device" 6 "$out/quick.rsf" --device "$other"
echo "scan_image saved scan: ok"
