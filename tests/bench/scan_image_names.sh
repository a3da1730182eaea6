#!/usr/bin/env bash
# scan_image --recover names files as the program does: for the same scan the
# bare probe and the services path (--services, the program's recovery) write
# the same folders and files under the same names (a quick and a deep scan of
# the FAT16 fixture, a deep scan with carved files, and a quick scan of crafted names with equal and unsafe
# names, FAT and exFAT), in the program's layout: a numbered folder per file-system kind,
# then the volume's name and the found path. Namesakes in one folder are
# numbered in the order the tree lists them, the first listed taking the
# plain name, after a save and load too.
# Usage: scan_image_names.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "$0")/probe_lib.sh" "$@" fat16_basic fat_media hostile_names
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image names: $*" >&2; exit 1; }
# Every folder (d) and file (f) below $1, by its path there.
layout() { (cd "$1" && find . -mindepth 1 -printf '%y %P\n' | LC_ALL=C sort); }
# The bytes of every file below $1 (the long paths are reached from their folders).
sums() { find "$1" -type f -execdir sha256sum {} + | cut -c1-64 | sort; }
# same NAME MODE IMAGE [DEVICE-NAME]: with DEVICE-NAME the volume folders of
# the bare probe's deep scan, named after the image file it opened, are
# compared by the name the program gives the disk that lists the image (a
# deep scan names its volumes after the scanned device).
same() {
    local name="$1" mode="$2" image="$3" device="${4:-}"
    "$probe" "$mode" "$image" --recover "$out/$name.bare" > /dev/null 2>&1 || fail "$name: bare --recover failed"
    "$probe" "$mode" "$image" --services --recover "$out/$name.services" > /dev/null 2>&1 ||
        fail "$name: --services --recover failed"
    layout "$out/$name.bare" > "$out/$name.bare.txt"
    if [ -n "$device" ]; then
        local file; file="$(basename "$image")"
        grep -qE "^d [^/]+/${file//./\\.}\$" "$out/$name.bare.txt" || fail "$name: no volume folder named $file"
        sed -i -E "s#^(. [^/]+/)${file//./\\.}(/|\$)#\1$device\2#" "$out/$name.bare.txt"
        LC_ALL=C sort -o "$out/$name.bare.txt" "$out/$name.bare.txt"
    fi
    layout "$out/$name.services" > "$out/$name.services.txt"
    grep -q '^f ' "$out/$name.bare.txt" || fail "$name: nothing recovered"
    diff "$out/$name.bare.txt" "$out/$name.services.txt" >&2 || fail "$name: the probe and the program name files differently"
    diff <(sums "$out/$name.bare") <(sums "$out/$name.services") >&2 || fail "$name: the probe and the program wrote other bytes"
}
img="$fixtures/fat16_basic/fat16_basic.img"
same quick quick "$img"
same deep deep "$img" Disk
# The program's layout: the kind folder, then the volume's name.
grep -qx 'd Fat_0001' "$out/quick.bare.txt" || fail "quick: no Fat_0001 folder"
[ "$(grep -c '^d [^/]*$' "$out/quick.bare.txt")" -eq 1 ] || fail "quick: more than one kind folder"
grep -qE '^f Fat_0001/[^/]+/A\.BIN$' "$out/quick.bare.txt" || fail "quick: A.BIN not below the volume's folder"
# Carved files too: a deep scan of pictures, movies and music.
same media deep "$fixtures/fat_media/fat_media.img" Disk
grep -qx 'd RAW_0001' "$out/media.bare.txt" || fail "media: no RAW_0001 folder for the carved files"
grep -qE '^f RAW_0001/Disk/jpg/[^/]+\.JPG$' "$out/media.bare.txt" || fail "media: no carved JPEG in its folder"
grep -qx 'f Fat_0001/Disk/photo.jpg' "$out/media.bare.txt" || fail "media: photo.jpg not in the found volume's folder"
# Equal and unsafe names: the same numbered forms in the same places.
same hostile quick "$fixtures/hostile_names/fat.img"
grep -qE '^f Fat_0001/[^/]+/#BC_0001\.TXT$' "$out/hostile.bare.txt" || fail "hostile: no numbered #BC_0001.TXT"
same hostile_exfat quick "$fixtures/hostile_names/exfat.img"
grep -qE '^f ExFat_0001/[^/]+/Folder/same_0001\.txt$' "$out/hostile_exfat.bare.txt" || fail "hostile exFAT: no same_0001.txt"
# Namesakes in one folder (two deleted FAT entries both read as "#BC.TXT",
# two live exFAT "same.txt") are numbered in the order the tree lists them,
# the first listed taking the plain name, after the scan and after a save and
# load alike (the listing tells the two apart by their sizes).
namesakes() { # NAME IMAGE PLAIN NUMBERED
    local name="$1" image="$2" plain="$3" numbered="$4" r="$out/namesakes.$1" run sizes got
    "$probe" quick "$image" --services --save "$r.rsf" --recover "$r.scan" > "$r.list" 2>/dev/null ||
        fail "$name: the scan's recovery failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.load" > /dev/null 2>&1 || fail "$name: the load's recovery failed"
    mapfile -t sizes < <(awk -F'\t' -v p="$plain" '{ n = split($4, part, "/") } part[n] == p { print $3 }' "$r.list")
    [ "${#sizes[@]}" -eq 2 ] && [ "${sizes[0]}" != "${sizes[1]}" ] || fail "$name: not two namesakes of two sizes listed"
    for run in scan load; do
        got="$(find "$r.$run" -type f -name "$plain" -printf '%s ')$(find "$r.$run" -type f -name "$numbered" -printf '%s')"
        [ "$got" = "${sizes[0]} ${sizes[1]}" ] ||
            fail "$name: after the $run $plain and $numbered hold $got bytes, not ${sizes[0]} and ${sizes[1]} as listed"
    done
}
namesakes fat "$fixtures/hostile_names/fat.img" '#BC.TXT' '#BC_0001.TXT'
namesakes exfat "$fixtures/hostile_names/exfat.img" same.txt same_0001.txt
echo "scan_image names: ok"
