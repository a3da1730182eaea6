#!/usr/bin/env bash
# scan_image end to end: a quick scan of the FAT16 fixture prints one line per
# node and the summary line, and --recover writes byte-exact files that stay
# inside the destination folder.
# Usage: scan_image_smoke.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" fat16_basic "$fixtures"
img="$fixtures/fat16_basic/fat16_basic.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

"$probe" quick "$img" --recover "$out/rec" > "$out/listing" 2>"$out/err"
fail() { echo "scan_image smoke: $*" >&2; cat "$out/listing" >&2; exit 1; }
grep -qx $'32\tL\t70000\tA.BIN' "$out/listing" || fail "A.BIN missing"
grep -qx $'32\tL\t0\tDocs/' "$out/listing" || fail "Docs/ missing"
grep -qx $'32\tL\t5000\tDocs/A rather long file name.bin' "$out/listing" || fail "long name missing"
grep -qE $'^32\tD\t9000\t.ONE.BIN$' "$out/listing" || fail "deleted file missing"
tail -n 1 "$out/listing" | grep -qE '^nodes=4 files=3 deleted=1 bytes=84000 seconds=[0-9.]+ MBps=[0-9.]+ peakMiB=[0-9.]+ written=3 failed=0$' ||
    fail "bad summary line"

# The program's layout: the kind folder, the volume's folder, the found path.
vol=("$out/rec/Fat_0001/"*)
[ "${#vol[@]}" -eq 1 ] && [ -d "$vol" ] || fail "not one volume folder in Fat_0001: $(ls -A "$out/rec")"
[ "$(ls -A "$out/rec")" = "Fat_0001" ] || fail "other folders than Fat_0001: $(ls -A "$out/rec")"
sum() { sha256sum "$1" | cut -c1-64; }
want() { grep " $1\$" "$fixtures/fat16_basic/sha256.txt" | cut -c1-64; }
[ "$(sum "$vol/A.BIN")" = "$(want a.bin)" ] || fail "A.BIN differs"
[ "$(sum "$vol/Docs/A rather long file name.bin")" = "$(want long.bin)" ] || fail "long file differs"
[ "$(sum "$vol/"?ONE.BIN)" = "$(want gone.bin)" ] || fail "deleted file differs"
[ "$(find "$out" -type f | wc -l)" -eq 5 ] || fail "unexpected files written"
echo "scan_image smoke: ok"
