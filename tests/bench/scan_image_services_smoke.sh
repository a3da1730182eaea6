#!/usr/bin/env bash
# scan_image --services end to end: the image listed as an attached disk
# image and scanned through the facade lists the same nodes as the bare probe
# (quick and deep), and --search leaves only the matching file.
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
echo "scan_image services smoke: ok"
