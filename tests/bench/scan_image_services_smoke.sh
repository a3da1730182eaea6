#!/usr/bin/env bash
# scan_image --services end to end: the image listed as an attached disk
# image and scanned through the facade lists the same nodes as the bare probe
# (quick and deep), --search leaves only the matching file, and --recover
# writes the same bytes as the bare probe's --recover, and stops and fails
# when a write fails.
# Usage: scan_image_services_smoke.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" fat16_basic "$fixtures"
img="$fixtures/fat16_basic/fat16_basic.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image services smoke: $*" >&2; exit 1; }
counts() { tail -n 1 "$1" | sed 's/ seconds=.*//'; }
for mode in quick deep; do
    "$probe" "$mode" "$img" > "$out/bare" 2>/dev/null
    "$probe" "$mode" "$img" --services > "$out/services" 2>/dev/null || fail "$mode: --services failed"
    diff <(head -n -1 "$out/bare" | sort) <(head -n -1 "$out/services" | sort) >&2 || fail "$mode: listings differ"
    [ "$(counts "$out/bare")" = "$(counts "$out/services")" ] || fail "$mode: summaries differ"
done
"$probe" quick "$img" --services --search LONG > "$out/search" 2>/dev/null || fail "--search failed"
[ "$(grep -vc '/$' <(head -n -1 "$out/search"))" -eq 1 ] || fail "--search left other files"
grep -qx $'32\tL\t5000\tDocs/A rather long file name.bin' "$out/search" || fail "--search lost the match"
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | sort; }
"$probe" quick "$img" --recover "$out/bare_rec" > /dev/null 2>&1 || fail "bare --recover failed"
"$probe" quick "$img" --services --recover "$out/rec" > "$out/recover" 2>/dev/null || fail "--recover failed"
line="$(tail -n 1 "$out/recover")"
[[ "$line" =~ ^recovered=([0-9]+)\ failed=0\ bytes=[0-9]+\ seconds=[0-9.]+\ MBps=[0-9.]+$ ]] || fail "bad line: $line"
[ "${BASH_REMATCH[1]}" -eq "$(sums "$out/bare_rec" | wc -l)" ] || fail "recovered count differs: $line"
diff <(sums "$out/bare_rec") <(sums "$out/rec") >&2 || fail "--recover wrote other bytes than the bare probe"
# A 4 KiB file-size limit: the 5000-byte file cannot be written.
if (ulimit -f 4; exec "$probe" quick "$img" --services --recover "$out/limited") > "$out/limited.txt" 2>/dev/null; then
    fail "--recover under a file-size limit exited 0"
fi
grep -q '^recovered=' "$out/limited.txt" || fail "no recovery line under a file-size limit"
echo "scan_image services smoke: ok"
