#!/usr/bin/env bash
# Volumes of one disk with the same label (twin_labels fixture: two FAT16 and
# two NTFS volumes, each labelled PONE, with different files of the same
# names) recovered through the facade, after the scan and after a save and
# load: the first volume's files under PONE/, the second's under
# "PONE (sector 36864)/", every one byte-exact, and no name numbered for a
# clash between the volumes. A deep scan of the whole disk (by the probe,
# through the facade, and after a save and load; and of an exFAT volume twice)
# lists each kind's volumes under one root: there one volume keeps the
# folder's name and the other has its start sector added.
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
# check_deep DIR NAME FS [SECOND [MANIFESTS]]: under DIR, NAME and
# "NAME (sector S)" only, the latter holding the volume that starts at S (2048
# or SECOND) and the former the other, as MANIFESTS_1/_2.sha256.txt list them.
check_deep() {
    local dir="$1" name="$2" fs="$3" second="${4:-36864}" lists="${5:-$fx/$3}" n folder hash path s twin=""
    for s in 2048 "$second"; do [ -d "$dir/$name (sector $s)" ] && twin="$s"; done
    [ -n "$twin" ] || fail "$fs deep: no folder of the second volume in $dir: $(ls "$dir" | tr '\n' '|')"
    [ "$(ls "$dir")" = "$(printf '%s\n%s' "$name" "$name (sector $twin)")" ] ||
        fail "$fs deep: other folders in $dir: $(ls "$dir" | tr '\n' '|')"
    for n in 1 2; do
        s=2048
        [ "$n" = 1 ] || s="$second"
        folder="$name"
        [ "$s" != "$twin" ] || folder="$name (sector $s)"
        while IFS=$'\t' read -r hash path; do
            [ -f "$dir/$folder/${path#PONE/}" ] || fail "$fs deep: $folder/${path#PONE/} missing"
            [ "$(sha256sum < "$dir/$folder/${path#PONE/}" | cut -c1-64)" = "$hash" ] ||
                fail "$fs deep: $folder/${path#PONE/} differs"
        done < "${lists}_$n.sha256.txt"
    done
    if find "$dir" -mindepth 1 -name '*_[0-9][0-9][0-9][0-9]*' | grep -q .; then fail "$fs deep: numbered names"; fi
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
    # FAT volumes sit right under the root, NTFS ones in folders of their labels.
    "$probe" deep "$img" --recover "$out/$fs.deep" > /dev/null 2>&1 || fail "$fs: the deep scan's recovery failed"
    "$probe" deep "$img" --services --save "$out/$fs.deep.rsf" --recover "$out/$fs.deeplive" > /dev/null 2>&1 ||
        fail "$fs: the deep scan's recovery through the facade failed"
    "$probe" load "$out/$fs.deep.rsf" --device "$img" --recover "$out/$fs.deeploaded" > /dev/null 2>&1 ||
        fail "$fs: the deep load's recovery failed"
    if [ "$fs" = fat ]; then
        check_deep "$out/$fs.deep/$kind" "${fs}_twins.img" "$fs"
        check_deep "$out/$fs.deeplive/$kind" Disk "$fs"
        check_deep "$out/$fs.deeploaded/$kind" Disk "$fs"
    else
        check_deep "$out/$fs.deep/$kind/${fs}_twins.img" PONE "$fs"
        check_deep "$out/$fs.deeplive/$kind/Disk" PONE "$fs"
        check_deep "$out/$fs.deeploaded/$kind/Disk" PONE "$fs"
    fi
done
# exFAT volumes, too, sit right under a deep scan's root.
img="$fx/exfat_twins.img"
"$probe" deep "$img" --recover "$out/exfat.deep" > /dev/null 2>&1 || fail "exfat: the deep scan's recovery failed"
check_deep "$out/exfat.deep/ExFat_0001" exfat_twins.img exfat 135168
"$probe" deep "$img" --services --recover "$out/exfat.deeplive" > /dev/null 2>&1 ||
    fail "exfat: the deep scan's recovery through the facade failed"
check_deep "$out/exfat.deeplive/ExFat_0001" Disk exfat 135168
# HFS+ volumes as well (hfs_deep's two.img: two synthetic volumes made alike,
# at 2048 and 36864); each holds a live and a deleted reused.txt, numbered
# within its own volume.
bash "$src/tests/fixtures/make-fixture" hfs_deep "$fixtures"
hfs="$fixtures/hfs_deep"
for n in 1 2; do
    m=journaled
    [ "$n" = 1 ] || m=second
    awk -F'\t' '$2 == "L" && $3 != "reused.txt" { print $1 "\tPONE/" $3 }' "$hfs/$m.manifest.txt" > "$out/hfs_$n.sha256.txt"
done
"$probe" deep "$hfs/two.img" --recover "$out/hfs.deep" > /dev/null 2>&1 || true # a few deleted files fail
find "$out/hfs.deep" -name 'reused_0001.txt' -delete
check_deep "$out/hfs.deep/HFS+_0001" two.img hfs 36864 "$out/hfs"
echo "scan_image twins: ok"
