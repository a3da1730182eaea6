#!/usr/bin/env bash
# scan_image --save and scan_image load end to end: a quick and a deep scan
# of every file-system fixture (FAT, exFAT, NTFS with resident files and a
# log-rebuilt one, HFS+, APFS) and of carved images (two whose files are all
# carved by label: the packed pictures, the evicted MP3s), saved through the
# facade, load back into the same listing and recover the same bytes; deep
# scans of HFS+ disks whose volumes do not start at sector 0 (compressed
# files among them) recover after a load no file with other bytes than after
# the scan, with the same counts; a
# damaged file, a missing one and another device fail with
# "load failed: code N".
# Usage: scan_image_savedscan.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
for f in fat16_basic fat_32 exfat_quick ntfs_volumes hfs_synth hfs_deep apfs_disks carve_all carve_audio; do
    bash "$src/tests/fixtures/make-fixture" "$f" "$fixtures"
done
img="$fixtures/fat16_basic/fat16_basic.img"
other="$fixtures/fat_32/fat_32.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image saved scan: $*" >&2; exit 1; }
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | sort; }
# round_trip NAME MODE IMAGE: scan → save → load, same listing, same bytes.
round_trip() {
    local name="$1" mode="$2" image="$3" r="$out/$1.$2"
    "$probe" "$mode" "$image" --services --save "$r.rsf" --recover "$r.live" > "$r.scan" 2>/dev/null ||
        fail "$name $mode: --save failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.loaded" > "$r.load" 2>/dev/null ||
        fail "$name $mode: load failed"
    diff <(grep -v '^nodes=\|^recovered=' "$r.scan" | sort) <(grep -v '^nodes=\|^recovered=' "$r.load" | sort) >&2 ||
        fail "$name $mode: the loaded listing differs"
    [ -n "$(sums "$r.live")" ] || fail "$name $mode: nothing recovered"
    diff <(sums "$r.live") <(sums "$r.loaded") >&2 || fail "$name $mode: recovered bytes differ after the load"
    rm -rf "$r.live" "$r.loaded"
}
for mode in quick deep; do
    round_trip fat16 "$mode" "$img"
    cp "$out/fat16.$mode.rsf" "$out/$mode.rsf"
    round_trip exfat "$mode" "$fixtures/exfat_quick/exfat_512.img"
    round_trip ntfs_4k "$mode" "$fixtures/ntfs_volumes/ntfs_4k.img"
    round_trip ntfs_4kl "$mode" "$fixtures/ntfs_volumes/ntfs_4kl.img"
    round_trip hfsplus "$mode" "$fixtures/hfs_synth/synth_4096.img"
done
# same_bytes NAME IMAGE: a deep scan whose recovery fails on some files
# (deleted ones whose data is gone): the load recovers and fails as many, and
# each file it writes has the bytes the scan wrote in the same folder.
same_bytes() {
    local name="$1" image="$2" r="$out/$1"
    "$probe" deep "$image" --services --save "$r.rsf" --recover "$r.live" > "$r.scan" 2>/dev/null || true
    [ -s "$r.rsf" ] || fail "$name: --save failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.loaded" > "$r.load" 2> "$r.err" || true
    grep -q '^load failed' "$r.err" && fail "$name: $(grep '^load failed' "$r.err")"
    [ "$(grep -o '^recovered=[0-9]* failed=[0-9]*' "$r.load")" = "$(grep -o '^recovered=[0-9]* failed=[0-9]*' "$r.scan")" ] ||
        fail "$name: the load recovers otherwise: $(tail -n 1 "$r.load") after $(tail -n 1 "$r.scan")"
    grep -q $'	Compressed/lzvn fork.bin$' "$r.load" || fail "$name: no compressed files listed"
    local f sum there
    while IFS= read -r -d '' f; do
        sum=$(sha256sum < "$r.loaded/$f" | cut -c1-64)
        there=$(find "$r.live/$(dirname "$f")" -maxdepth 1 -type f -exec sha256sum {} + 2>/dev/null | cut -c1-64)
        grep -qx "$sum" <<< "$there" ||
            fail "$name: $f has other bytes after the load"
    done < <(cd "$r.loaded" && find . -type f -print0)
    rm -rf "$r.live" "$r.loaded"
}
for d in two gpt40 changed alone; do same_bytes "hfs_deep_$d" "$fixtures/hfs_deep/$d.img"; done
round_trip apfs deep "$fixtures/apfs_disks/gpt_zeroed.img"
round_trip carved deep "$fixtures/carve_all/all_512_random.img"
round_trip carved_pack deep "$fixtures/carve_all/all_pack.img"
round_trip carved_evict deep "$fixtures/carve_audio/mp3_evict_512.img"
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
