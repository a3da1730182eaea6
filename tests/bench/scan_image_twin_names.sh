#!/usr/bin/env bash
# Volumes whose labels differ only in what a folder name erases (twin_labels
# fixture), recovered through the facade after the scan and after a save and
# load: each volume in a folder of its own, the one first on the disk under
# the plain name and the others with their start sector added, every file
# byte-exact, no name numbered for a clash. Case-only twins are recovered
# onto a real exFAT file system (mkfs.exfat, mounted through FUSE on a loop
# device), which does not tell "Data" from "DATA". Names that exFAT and
# Windows names refuse (refused_names fixture: "what?.txt", "a:b.txt" …, on a
# volume labelled "Backup: 2024?") come back onto exFAT and onto NTFS mounted
# with windows_names with those characters made "_", every one of the 14
# files byte-exact, none over another, the names any destination takes kept
# and the mapped ones numbered where such a name is one of them; onto the
# test's own folder unchanged. So are mapped folders and volume labels
# beside names as found (x?y and x_y; "A?B", "A:B" and "A_B"), and 48 long
# names onto NTFS through ntfs-3g, every one written and no stray name left.
# Usage: scan_image_twin_names.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
export LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen PATH="$PATH:/sbin:/usr/sbin"
fail() { echo "scan_image twin names: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root: mounts an exFAT destination on a loop device"
command -v mkfs.exfat >/dev/null || fail "install the Debian package 'exfatprogs'"
command -v mount.exfat-fuse >/dev/null || fail "install the Debian package 'exfat-fuse'"
command -v ntfs-3g >/dev/null || fail "install the Debian package 'ntfs-3g'"
bash "$src/tests/fixtures/make-fixture" twin_labels "$fixtures"
bash "$src/tests/fixtures/make-fixture" refused_names "$fixtures"
fx="$fixtures/twin_labels"
out="$(mktemp -d)"
loop=""
ntfsloop=""
cleanup() {
    if mountpoint -q "$out/exfat"; then umount "$out/exfat" || true; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
    if mountpoint -q "$out/ntfs"; then umount "$out/ntfs" || true; fi
    if [ -n "$ntfsloop" ]; then losetup -d "$ntfsloop" || true; fi
    rm -rf "$out"
}
trap cleanup EXIT
truncate -s 1G "$out/exfat.img"
mkfs.exfat "$out/exfat.img" > /dev/null
loop="$(losetup -f --show "$out/exfat.img")"
mkdir "$out/exfat"
mount.exfat-fuse "$loop" "$out/exfat" > /dev/null 2>&1 || fail "cannot mount the exFAT destination"
# The destination really ignores case, or the cases below test nothing.
mkdir "$out/exfat/Probe" && [ -d "$out/exfat/PROBE" ] && rmdir "$out/exfat/Probe" ||
    fail "the exFAT destination tells case apart"

long="a$(printf 'é%.0s' $(seq 127))"  # 255 bytes
cut="a$(printf 'é%.0s' $(seq 119))"   # 239 bytes: 240 would split an "é"
# image | manifests | scan | destination | folder of the volumes | their folders in disk order
cases=(
    "ntfs_slash.img|ntfs_slash|deep|plain|0001/Disk|A_B|A_B (sector 36864)"
    "ntfs_case.img|ntfs_case|quick|exfat|0001|Data|DATA (sector 36864)|data (sector 71680)"
    "ntfs_case.img|ntfs_case|deep|exfat|0001/Disk|Data|DATA (sector 36864)|data (sector 71680)"
    "fat_case.img|fat_case|quick|exfat|Fat_0001|Data|DATA (sector 36864)|data (sector 71680)"
    "exfat_case.img|exfat_case|quick|exfat|ExFat_0001|Data|DATA (sector 135168)|data (sector 268288)"
    "ntfs_long.img|ntfs_long|deep|plain|0001/Disk|$long|$cut (sector 36864)"
    "fat_twins.img|fat|deep|plain|Fat_0001|Disk|Disk (sector 36864)"
    "exfat_twins.img|exfat|deep|plain|ExFat_0001|Disk|Disk (sector 135168)"
)
# check DIR MANIFESTS FOLDER...: DIR holds the FOLDERs only, volume n's files
# (MANIFESTS_n.sha256.txt) in the n-th, byte-exact, no name numbered.
check() {
    local dir="$1" lists="$2" n=0 folder hash path listed
    shift 2
    listed="$(cd "$dir" && ls -1)" || fail "$dir missing"
    [ "$listed" = "$(printf '%s\n' "$@" | sort)" ] || fail "$dir holds: $(echo "$listed" | tr '\n' '|')"
    for folder in "$@"; do
        n=$((n + 1))
        while IFS=$'\t' read -r hash path; do
            path="$folder/${path#PONE/}"
            [ -f "$dir/$path" ] || fail "$dir: $path missing"
            [ "$(sha256sum < "$dir/$path" | cut -c1-64)" = "$hash" ] || fail "$dir: $path differs"
        done < "$fx/${lists}_$n.sha256.txt"
    done
    if find "$dir" -mindepth 1 -name '*_[0-9][0-9][0-9][0-9]*' | grep -q .; then
        fail "$dir: numbered names: $(find "$dir" -mindepth 1 -name '*_[0-9][0-9][0-9][0-9]*' | head -n 3 | tr '\n' '|')"
    fi
}
i=0
for row in "${cases[@]}"; do
    i=$((i + 1))
    IFS='|' read -r -a f <<< "$row"
    img="$fx/${f[0]}" to="$out/$i"
    [ "${f[3]}" = plain ] || to="$out/exfat/$i"
    "$probe" "${f[2]}" "$img" --services --save "$out/$i.rsf" --recover "$to.live" > /dev/null 2>&1 ||
        fail "${f[0]} ${f[2]}: the scan's recovery failed"
    check "$to.live/${f[4]}" "${f[1]}" "${f[@]:5}"
    "$probe" load "$out/$i.rsf" --device "$img" --recover "$to.loaded" > /dev/null 2>&1 ||
        fail "${f[0]} ${f[2]}: the load's recovery failed"
    check "$to.loaded/${f[4]}" "${f[1]}" "${f[@]:5}"
done

# An NTFS destination that takes only Windows names.
truncate -s 64M "$out/ntfs.img"
mkntfs -q -Q -F "$out/ntfs.img" > /dev/null 2>&1 || fail "mkntfs failed"
ntfsloop="$(losetup -f --show "$out/ntfs.img")"
mkdir "$out/ntfs"
ntfs-3g -o windows_names "$ntfsloop" "$out/ntfs" > /dev/null 2>&1 || fail "cannot mount the NTFS destination"
rn="$fixtures/refused_names"
# refused DIR MAPPED: DIR holds the 14 files byte-exact, each under its name
# (MAPPED 1: with the refused characters made "_"); a name the destination
# takes is kept, and a mapped name that another file has as found is numbered.
refused() {
    local dir="$1" mapped="$2" hash name want got
    [ "$(find "$dir" -type f | wc -l)" -eq 14 ] || fail "$dir: $(find "$dir" -type f | wc -l) files, not 14"
    while IFS=$'\t' read -r hash name; do
        want="$name"
        [ "$mapped" = 1 ] && want="$(printf '%s' "$name" | tr '?:*"|<>\\' '________')"
        [ "$want" != "$name" ] && cut -f2 "$rn/names.sha256" | grep -qxF "$want" && want="${want%.txt}_0001.txt"
        got="$(cd "$dir" && for f in * .hidden; do [ -f "$f" ] && [ "$(sha256sum < "$f" | cut -c1-64)" = "$hash" ] &&
            printf '%s' "$f"; done)" || true
        [ -n "$got" ] || fail "$dir: $name missing or differing"
        [ "$got" = "$want" ] || fail "$dir: $name written as $got, not $want"
    done < "$rn/names.sha256"
}
# holds DIR MANIFEST [SED]: DIR holds exactly the files of MANIFEST ("hash<TAB>path"),
# byte-exact, each path as SED makes it on this destination.
holds() {
    local dir="$1" list="$2" script="${3:-}" hash path want
    want="$(cut -f2 "$list" | sed -e "$script" | sort)"
    [ "$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)" = "$want" ] ||
        fail "$dir holds: $(cd "$dir" && find . -type f | sort | tr '\n' '|'), not: $(echo "$want" | tr '\n' '|')"
    while IFS=$'\t' read -r hash path; do
        path="$(printf '%s\n' "$path" | sed -e "$script")"
        [ "$(sha256sum < "$dir/$path" | cut -c1-64)" = "$hash" ] || fail "$dir: $path differs"
    done < "$list"
}
for mode in quick deep; do
    folder="0001/Backup: 2024?"
    [ "$mode" = deep ] && folder="0001/Disk"
    for to in "$out/names" "$out/exfat/names" "$out/ntfs/names"; do
        "$probe" "$mode" "$rn/names.img" --services --recover "$to.$mode" > "$out/names.txt" 2>/dev/null ||
            fail "refused names $mode onto $to: $(grep '^recovered=' "$out/names.txt")"
        grep -q '^recovered=14 failed=0 ' "$out/names.txt" || fail "refused names $mode onto $to: $(grep '^recovered=' "$out/names.txt")"
        if [ "$to" = "$out/names" ]; then
            refused "$to.$mode/$folder" 0
        else
            refused "$to.$mode/$(printf '%s' "$folder" | tr '?:' '__')" 1
        fi
    done
done

# Names a mapped name meets keep theirs, whichever is written first: the
# mapped name is numbered past every name found beside it (b_c_0001.txt),
# and a mapped folder gets a folder of its own. Windows names refuse tail.
# and aux.txt too: there they are mapped a second time (tail_, aux_.txt),
# and numbered as those are taken; a device stem in a name of 255 bytes
# (con.xxx…, a folder lpt1.yyy…) is mapped and the name shortened, and a
# blank the cut leaves at its end (con.xxx… z) is mapped too.
both='s|^x?y/|x_y_0001/|; s/^p|q\//p_q_0001\//; s/^b:c\.txt$/b_c_0002.txt/; s/^b?c\.txt$/b_c_0003.txt/'
win="$both; s/^tail\.$/tail__0001/; s/^aux\.txt$/aux__0001.txt/"
# Names of 255 bytes with a device stem: one byte longer once mapped, so
# shortened by their last byte.
win="$win; s/^con\(\.x*\)x$/con_\1/; s/^lpt1\(\.y*\)y\//lpt1_\1\//; s/^con\(\.x*\) z$/con_\1_/"
for to in names exfat/names ntfs/names; do
    "$probe" quick "$rn/folders.img" --services --recover "$out/$to.folders" > "$out/folders.txt" 2>/dev/null ||
        fail "folders onto $to: $(grep '^recovered=' "$out/folders.txt")"
    case "$to" in
    names) holds "$out/$to.folders/0001/Folders" "$rn/folders.sha256" ;;
    exfat/*) holds "$out/$to.folders/0001/Folders" "$rn/folders.sha256" "$both" ;;
    *) holds "$out/$to.folders/0001/Folders" "$rn/folders.sha256" "$win" ;;
    esac
done
# Volumes labelled "A?B", "A:B" and "A_B": the one named A_B keeps its name,
# the mapped ones get folders of their own (their start sector after a quick
# scan, a number below a deep scan's disk folder).
for to in names exfat/names ntfs/names; do
    for mode in quick deep; do
        "$probe" "$mode" "$rn/labels.img" --services --recover "$out/$to.labels.$mode" > "$out/labels.txt" 2>/dev/null ||
            fail "labels $mode onto $to: $(grep '^recovered=' "$out/labels.txt")"
        if [ "$to" = names ]; then
            script=""
        elif [ "$mode" = quick ]; then
            script='s|^A?B/|A_B (sector 2048)/|; s|^A:B/|A_B (sector 36864)/|'
        else
            script='s|^A?B/|A_B_0001/|; s|^A:B/|A_B_0002/|'
        fi
        dir="$out/$to.labels.$mode/0001"
        [ "$mode" = deep ] && dir="$dir/Disk"
        holds "$dir" "$rn/labels.sha256" "$script"
    done
done
# Long names (230 to 255 bytes) onto NTFS through ntfs-3g, which replaces a
# name through a longer one of its own, and onto exFAT: every file is
# written under its name, byte-exact, and nothing else is left, after the
# scan and after a save and load.
for to in exfat/long ntfs/long; do
    "$probe" quick "$rn/long.img" --services --save "$out/long.rsf" --recover "$out/$to.live" > "$out/long.txt" 2>&1 ||
        fail "long names onto $to: $(grep -E '^recovered=|stopped' "$out/long.txt" | tr '\n' ' ')"
    grep -q '^recovered=48 failed=0 ' "$out/long.txt" || fail "long names onto $to: $(grep '^recovered=' "$out/long.txt")"
    holds "$out/$to.live/0001/Long" "$rn/long.sha256"
    [ "$(ls -A "$out/$to.live/0001/Long" | wc -l)" -eq 48 ] || fail "long names onto $to: other names left"
    "$probe" load "$out/long.rsf" --device "$rn/long.img" --recover "$out/$to.loaded" > "$out/long.txt" 2>&1 ||
        fail "long names onto $to after a load: $(grep -E '^recovered=|stopped' "$out/long.txt" | tr '\n' ' ')"
    holds "$out/$to.loaded/0001/Long" "$rn/long.sha256"
    [ "$(ls -A "$out/$to.loaded/0001/Long" | wc -l)" -eq 48 ] || fail "long names onto $to after a load: other names left"
done
echo "scan_image twin names: ok"
