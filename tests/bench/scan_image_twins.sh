#!/usr/bin/env bash
# Volumes of one disk with the same label (twin_labels fixture: two FAT16 and
# two NTFS volumes, each labelled PONE, with different files of the same
# names) recovered through the facade, after the scan and after a save and
# load: the first volume's files under PONE/, the second's under
# "PONE (sector 36864)/", every one byte-exact, and no name numbered for a
# clash between the volumes.
# Usage: scan_image_twins.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" twin_labels "$fixtures"
fx="$fixtures/twin_labels"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image twins: $*" >&2; exit 1; }
# check DIR KIND FS: each volume's manifest against its own folder.
check() {
    local dir="$1/$2" fs="$3" n folder hash path
    for n in 1 2; do
        folder="PONE"
        [ "$n" = 1 ] || folder="PONE (sector 36864)"
        while IFS=$'\t' read -r hash path; do
            [ -f "$dir/$folder/${path#PONE/}" ] || fail "$fs: $folder/${path#PONE/} missing"
            [ "$(sha256sum < "$dir/$folder/${path#PONE/}" | cut -c1-64)" = "$hash" ] ||
                fail "$fs: $folder/${path#PONE/} differs"
        done < "$fx/${fs}_$n.sha256.txt"
    done
    [ "$(ls "$dir")" = "$(printf 'PONE\nPONE (sector 36864)')" ] || fail "$fs: other folders: $(ls "$dir" | tr '\n' '|')"
    if find "$dir" -mindepth 1 -name '*_[0-9][0-9][0-9][0-9]*' | grep -q .; then fail "$fs: numbered names"; fi
}
for fs in fat ntfs; do
    kind=0001
    [ "$fs" = fat ] && kind=Fat_0001
    img="$fx/${fs}_twins.img"
    "$probe" quick "$img" --services --save "$out/$fs.rsf" --recover "$out/$fs.live" > /dev/null 2>&1 ||
        fail "$fs: the scan's recovery failed"
    check "$out/$fs.live" "$kind" "$fs"
    "$probe" load "$out/$fs.rsf" --device "$img" --recover "$out/$fs.loaded" > /dev/null 2>&1 ||
        fail "$fs: the load's recovery failed"
    check "$out/$fs.loaded" "$kind" "$fs"
done
echo "scan_image twins: ok"
