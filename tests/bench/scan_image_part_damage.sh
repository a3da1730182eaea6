#!/usr/bin/env bash
# scan_image --services, quick, on partitioned 100 MiB disks with damaged
# table entries (part_damage fixture): a third MBR entry overlapping the
# first, a boot flag 0x01, a FAT boot sector over the boot code, and a GPT
# whose 1,024 entries name one partition; entries overlapping a partition
# while both start at volumes (an MBR, EBR, GPT or Apple map entry too long or
# running to the disk's end, a 1-sector entry before the real one, an
# extended partition a primary overlaps). Each lists what fls lists of the
# volume at sector 0 and in every partition mmls shows (a partition named
# more than once counted once), at most 256 MiB at its peak. Where the bytes
# allow two readings both are listed: a card whose boot code reads as an
# entry at a disk image kept on it (whole, in pieces, or deleted, in a
# folder too) lists the card's files and the image's; an entry at its backup
# boot sector names nothing. Sticks formatted or used whole, then
# partitioned by sfdisk or sgdisk (inside an old file, live or deleted, too),
# list the old volume where it is sound beside their partitions. A stray
# entry (a copy of a partition's boot sector in another's free space, a FAT32
# or NTFS backup boot sector, a boot sector in free space) in any slot of an
# MBR, EBR chain, GPT or Apple map hides no sound volume and names none; one
# at a disk image kept in a partition, or deleted from it, names that image's
# volume. Sticks written through exfat-fuse or ntfs-3g (70,134 MFT
# records in use) and partitioned again list the partitions' files and the
# old volume's where it is sound. A volume at an extended entry's first sector
# (or at an EBR a link names) is listed beside the chain's logical partitions,
# and its files come back as icat reads them. A volume larger than its entry
# is read as far as its file system goes, up to the next partition: its
# files past the entry come back as placed (deleted ones as icat reads them),
# after a save and load too; a deep scan reads the next partition's files
# (or those of one deleted since) through that partition alone. As root, the disks attached read-only as loop devices list the
# same, and those with extended entries also with the partitions the kernel
# makes of their tables (otherwise the test ends as skipped, 77).
# Usage: scan_image_part_damage.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" part_damage
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image part_damage: $*" >&2; exit 1; }
for tool in fls mmls icat; do
    command -v $tool >/dev/null || fail "missing '$tool': install the Debian package 'sleuthkit'"
done
command -v python3 >/dev/null || fail "missing 'python3': install the Debian package 'python3'"
for tool in mkfs.fat:dosfstools mcopy:mtools sfdisk:fdisk; do
    command -v "${tool%%:*}" >/dev/null || fail "missing '${tool%%:*}': install the Debian package '${tool#*:}'"
done
d="$fixtures/part_damage"

# fls of the volume at sector 0 and of each partition and extended entry
# mmls lists, each first sector once (fls fails where no file system lies: it
# adds nothing), or of the first sectors given ("0,67584", or in the
# fixture's starts.txt).
oracle() { # IMAGE [STARTS]
    local starts="${2:-$(awk -v n="$(basename "$1" .img)" '$1 == n { print $2 }' "$d/starts.txt")}"
    { if [ -n "$starts" ]; then tr , '\n' <<<"$starts"; else echo 0; mmls "$1" | awk '$2 ~ /^[0-9:]+$/ || /Extended \(0x/ { print $3 + 0 }'; fi; } |
        sort -un | while read -r start; do
            fls_names -o "$start" "$1" 2>/dev/null || true
        done | sort
}

# The oracle of NAME's image, read once: its loop device and the kernel's
# partitions of it are held to the listing its image file gives.
oracle_of() { # NAME [STARTS]
    local kept="$out/$1.${2//,/_}.oracle"
    [ -e "$kept" ] || { oracle "$d/$1.img" "${2:-}" > "$kept.new" && mv "$kept.new" "$kept"; }
    cat "$kept"
}

check_disk() { # NAME DEVICE-OR-IMAGE TAG FILES [STARTS [+]]
    local name="$1" dev="$2" tag="$3" files="$4" starts="${5:-}" more="${6:-}"
    "$probe" quick "$dev" --services > "$out/$tag.txt" 2>"$out/$tag.err" ||
        { cat "$out/$tag.err" >&2; fail "$tag: --services failed"; }
    local summary peak
    summary="$(tail -n 1 "$out/$tag.txt")"
    echo "$tag: $summary"
    grep -q "^nodes=[0-9]* files=$files " <<<"$summary" || fail "$tag: not $files files: $summary"
    peak="$(sed -n 's/.*peakMiB=\([0-9.]*\).*/\1/p' <<<"$summary")"
    # 256 MiB, or 10 KiB a file where tens of thousands are listed (a sanitizer
    # build's share of each file's node).
    awk -v p="$peak" -v n="$files" 'BEGIN { exit !(p <= 256 || p <= n * 10 / 1024) }' || fail "$tag: peak $peak MiB"
    head -n -1 "$out/$tag.txt" > "$out/$tag.list"
    if [ -n "$more" ]; then
        # An old volume at sector 0 whose first FAT a new table overwrote:
        # fls reads its files as deleted, or fewer; the partitions' files exactly.
        [ -z "$(comm -23 <(oracle_of "$name" "$starts") <(scan_names "$out/$tag.list" | sort))" ] ||
            fail "$tag: a partition's file missing"
    else
        diff <(oracle_of "$name" "$starts") <(scan_names "$out/$tag.list") >&2 ||
            fail "$tag: listing differs from mmls + fls"
    fi
}
# NAME:FILES[:STARTS[:+]] of the disks with one damaged entry, of those whose
# overlapping entries both start at volumes, and of the cards (a disk image
# kept on a card, or deleted from it, named by an entry is a volume too).
damaged=(intact:40 overlap:40 bootflag:40 fatsector:40 fatsector_one:20 gpt_repeat:20)
overlaps=(long:40 allones:40 onesector:40 gpt_toend:40 apm_toend:40 gpt_onesector:40 apm_onesector:40
          ext_overlap:40 ebr_allones:40)
cards=(card_backup:10 card_image:16 card_table:25 card_backup_out:30 card_image_out:36 card_exfat_out:140
       card_small:10 card32_image_out:35 card32_deleted_out:35 card_ntfs_image_out:28 card_frag:32 card_deldir:31)
# Sticks formatted whole, then partitioned: the old volume at sector 0 where
# it is sound, and the partition (mmls reads no table over an NTFS boot
# sector: fls of the partition sfdisk made). A GPT's entries overwrote both
# FATs of stick_fat32_gpt's old volume.
sticks=(stick_ntfs_mbr:8:0,2048 stick_ntfs_gpt:5 stick_fat32_gpt:5:2048 stick_fat32_mbr:8)
for kind in fat12 fat16; do sticks+=("stick_${kind}_mbr:8" "stick_${kind}_gpt:8"); done
sticks+=(stick_exfat_mbr:5 stick_exfat_gpt:5)
# Sticks used, then partitioned, the old volume listed beside the partitions
# (a GPT's entries overwrote both FATs of reused_fat12_gpt's), sticks
# partitioned inside an old file, live or deleted.
sticks+=(reused_fat16_mbr:35 reused_fat16_gpt:35 reused_fat32k8_mbr:35 reused_fat32k8_gpt:35:2048:+
         reused_fat12_mbr:17 reused_fat12_gpt:5:2048 reused_fat32at_mbr:35 reused_fat32at_gpt:35:2048:+
         reused_exfat_mbr:125 reused_exfat_gpt:125 reused_exfat2048_mbr:50:2048:+ reused_exfat2048_gpt:50:2048:+
         reused_exfatin_mbr:125 reused_exfatin_gpt:125 reused_ntfsshort_mbr:35:0,2048 reused_ntfsshort_gpt:5
         reused_ntfstwo_mbr:39:0,2048,124928 reused_ntfstwo_gpt:9)
# Sticks written through exfat-fuse or ntfs-3g, then partitioned: a full
# exFAT stick, small ones given one or two FAT12 partitions, and an NTFS stick
# of 70,134 MFT records, the partition inside its MFT (fls reads its files
# whose records the new FATs overwrote: the partition's files exactly) or
# beyond it.
sticks+=(reused_exfatfuse_mbr:35 reused_exfat12one_mbr:18 reused_exfat12two_mbr:31 reused_exfat12at_mbr:21
         reused_ntfsbig_mbr:68992:2048:+ reused_ntfsbigfar_mbr:70049)
sticks+=(reused_dfat16_mbr:9 reused_dfat32_mbr:9 reused_film32_mbr:9 reused_film16_mbr:9
         reused_filmdir_mbr:9 reused_filmtwo_mbr:13 reused_filmntfs_mbr:9)
# A stray entry in each slot, beside two sound partitions: a copy of a boot
# sector in free space names none (fls reads a file in it); a backup boot
# sector none; a disk image kept on a partition is a volume too.
strays=()
for kind in mbr ebr gpt apm; do
    for slot in 1 2 3; do
        strays+=("stray_copy_${kind}_$slot:40:2048,67584" "stray_backup_${kind}_$slot:30"
                 "stray_image_${kind}_$slot:46" "stray_ntfs_${kind}_$slot:30")
    done
done
# Entries at volumes inside a partition (disk images kept or deleted, a boot
# sector in its free space).
for kind in mbr ebr gpt apm; do
    strays+=("stray_ntfsimg_$kind:13" "stray_fatdel_$kind:13" "stray_freeboot_$kind:40"
             "stray_freetwo_$kind:40" "stray_freeover_$kind:40")
done
# A volume at an extended entry's first sector (of type 0x05, 0x0F, 0x85; FAT,
# exFAT, NTFS, HFS+; its boot code an EBR too; at an EBR a link names; at the
# disk's end, with deleted files) beside the chain's logical partitions.
extended=(ext_fat16_05:40 ext_fat16_0f:40 ext_fat12:25 ext_fat32:30 ext_exfat:140 ext_ntfs:30 ext_hfs:24
          ext_both:46 ext_both_85:46 ext_link:51 ext_end:26 ext_chain_85:40)
# sfdisk's sticks: the volume at the extended entry (of type 0x05, 0x0F,
# 0x85; FAT12/16/32 with deleted files, exFAT, NTFS, HFS+) and the logical
# partition after it; an HFS+ volume (no signature) at an EBR a link names.
extended+=(ext_in_fat16:46 ext_in_fat16_0f:46 ext_in_fat16_85:46 ext_in_fat16_del:46 ext_in_fat12:45
           ext_in_fat32:50 ext_in_exfat:160 ext_in_ntfs:50 ext_in_hfs:44 ext_hfs_link:29)
# Volumes larger than their entry (primary, at an extended entry of type
# 0x05, 0x0F, 0x85; FAT16, FAT32 to the disk's end, exFAT, NTFS), their
# files past the entry's end; one whose last sectors another partition holds.
past=(past_fat16:7 past_ext_05:7 past_ext_0f:7 past_ext_85:7 past_fat32:7 past_exfat:6 past_ntfs:7 past_next:10)
disks=("${damaged[@]}" "${overlaps[@]}" "${cards[@]}" "${sticks[@]}" "${strays[@]}" "${extended[@]}" "${past[@]}")
. "$src/tests/support/loop.sh"
each_disk() { # image|loop|parts [DISK...]: each disk as its image file or attached read-only as a loop
    # device, without partitions or with those the kernel makes of its table (partx; -P: the kernel
    # drops them when the device is let go, even while another program holds one open)
    local mode="$1" disk name files starts more dev tag
    shift
    for disk in "$@"; do
        IFS=: read -r name files starts more <<<"$disk"
        dev="$d/$name.img" tag="$name"
        if [ "$mode" = loop ]; then
            loop_attach -r "$dev" || fail "$name: no loop device"
            dev="$loop_dev" tag="$name.$mode"
        elif [ "$mode" = parts ]; then
            { loop_attach -r -P "$dev" && loop_partitions "$loop_dev"; } || fail "$name: no loop device with partitions"
            dev="$loop_dev" tag="$name.$mode"
        fi
        check_disk "$name" "$dev" "$tag" "$files" "$starts" "$more"
        [ "$mode" = image ] || loop_detach "$dev"
    done
}
each_disk image "${disks[@]}"

# Disks read two ways save and load: the files recovered after the load are
# those recovered after the scan, byte for byte, under the same names.
tree_hashes() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum); }
for name in card_image_out card_frag reused_film32_mbr reused_filmtwo_mbr stray_image_gpt_2 ext_link past_fat16 \
    past_ext_85 past_exfat past_ntfs; do
    "$probe" quick "$d/$name.img" --services --recover "$out/$name.scan" --save "$out/$name.rsf" > "$out/$name.saved" \
        2>"$out/$name.err" || { tail -5 "$out/$name.err" >&2; fail "$name: scan, recovery or save failed"; }
    "$probe" load "$out/$name.rsf" --device "$d/$name.img" --recover "$out/$name.load" > "$out/$name.loaded" \
        2>"$out/$name.err" || { tail -5 "$out/$name.err" >&2; fail "$name: load or its recovery failed"; }
    diff <(head -n -2 "$out/$name.saved" | sort) <(head -n -2 "$out/$name.loaded" | sort) >&2 || fail "$name: the load lists otherwise"
    diff <(tree_hashes "$out/$name.scan") <(tree_hashes "$out/$name.load") >&2 || fail "$name: other bytes after the load"
    echo "$name: saved and loaded, $(tree_hashes "$out/$name.load" | wc -l) files alike"
done

# as_icat NAME START DIR: every file fls reads in NAME's volume at START,
# deleted ones too, recovered under DIR byte for byte as icat reads it.
as_icat() {
    local name="$1" start="$2" dir="$3" n=0 kind path pattern got
    while IFS=$'\t' read -r kind path; do
        case "$path" in \$* | *"(Volume Label Entry)"*) continue ;; esac
        # An erased 8.3 name's first character is not known.
        [[ "$kind" == *'*'* && "$path" == _* ]] && pattern="?${path:1}" || pattern="$path"
        mapfile -t got < <(find "$dir" -type f -path "*/$pattern")
        [ "${#got[@]}" -eq 1 ] || fail "$name: $path recovered ${#got[@]} times"
        cmp -s "${got[0]}" <(icat -o "$start" "$d/$name.img" "$(awk '{ print $NF }' <<<"${kind%:}")") ||
            fail "$name: $path differs from icat"
        n=$((n + 1))
    done < <(fls -F -p -r -o "$start" "$d/$name.img")
    [ "$n" -gt 0 ] || fail "$name: fls reads no file at $start"
    echo "$name: $n files at $start as icat reads them"
}
# The files of a volume at an extended entry (or at an EBR a link names).
for run in ext_in_fat16_del:67584 ext_in_exfat:67584 ext_in_ntfs:67584 ext_in_hfs:67584 ext_hfs_link:86016; do
    IFS=: read -r name start <<<"$run"
    "$probe" quick "$d/$name.img" --services --recover "$out/$name.rec" > /dev/null 2>"$out/$name.err" ||
        { tail -5 "$out/$name.err" >&2; fail "$name: scan or recovery failed"; }
    as_icat "$name" "$start" "$out/$name.rec"
done
# placed DIR MANIFEST: each file of MANIFEST ("sha256<TAB>path") once under
# DIR, with those bytes.
placed() {
    local hash path got
    while IFS=$'\t' read -r hash path; do
        mapfile -t got < <(find "$1" -type f -path "*/$path")
        [ "${#got[@]}" -eq 1 ] || fail "$1: $path recovered ${#got[@]} times"
        [ "$(sha256sum < "${got[0]}" | cut -c1-64)" = "$hash" ] || fail "$1: $path differs from the file placed"
    done < "$2"
}
# past_files NAME DEVICE TAG: the files of a volume larger than its entry
# (its file system read as far as it goes, not zeros past the entry), each
# as placed, deleted ones as icat reads them; past_next's fragmented and
# deleted files run into the next partition and stay failed, its others come
# back as placed.
past_files() {
    local name="$1" dev="$2" tag="$3" manifest="$d/${4:-}.sha256" rec="$out/$1.$3.past" rc=0
    "$probe" quick "$dev" --services --recover "$rec" > "$rec.txt" 2>"$rec.err" || rc=$?
    if [ "$name" = past_next ]; then
        grep -q '^recovered=[0-9]* failed=2 ' "$rec.txt" || fail "$name.$tag: $(grep '^recovered=' "$rec.txt")"
        placed "$rec" <(grep -v 'frag\.bin$' "$d/past16.sha256")
    else
        [ "$rc" -eq 0 ] || { tail -5 "$rec.err" >&2; fail "$name.$tag: scan or recovery failed"; }
        placed "$rec" "$manifest"
        [ "$tag" != image ] || as_icat "$name" 2048 "$rec"
    fi
    echo "$name.$tag: $(grep '^recovered=' "$rec.txt" | cut -d' ' -f1-2), the volume's own files as placed"
    rm -rf "$rec"
}
manifests=(past_fat16:past16 past_ext_05:past16 past_ext_0f:past16 past_ext_85:past16 past_fat32:past32
           past_exfat:pastx past_ntfs:pastn past_next:past16)
for run in "${manifests[@]}"; do
    IFS=: read -r name tag <<<"$run"
    past_files "$name" "$d/$name.img" image "$tag"
done

# A deep scan reads a file only through the volume whose structures describe
# it: a FAT12 partition made in space a FAT16 volume claims past its entry
# (listed, or its entry deleted since) gives its files once each, as placed,
# and the FAT16 volume lists none of them again among its lost files.
for name in past_free past_freegone; do
    rec="$out/$name.deep"
    "$probe" deep "$d/$name.img" --services --recover "$rec" > "$rec.txt" 2>"$rec.err" ||
        { tail -5 "$rec.err" >&2; fail "$name.deep: scan or recovery failed"; }
    [ "$(grep -c 'next_[123]\.dat$' "$rec.txt")" -eq 3 ] || fail "$name.deep: NEXT's files not listed once each"
    placed "$rec" "$d/next.sha256"
    echo "$name.deep: $(grep '^recovered=' "$rec.txt" | cut -d' ' -f1-2), NEXT's files once each as placed"
    rm -rf "$rec"
done

# ... and only the sectors such a volume's own boot sector places its
# structures in: a FAT32 stick whose root folder grew past the FAT16
# partition made from 2048 since keeps that folder, in the new volume's free
# clusters, and its 24 files come back as written.
old="$out/oldroot"; mkdir -p "$old"
mkfs.fat -C -F 32 -s 1 -n OLD "$old.img" $((128 << 10)) >/dev/null
for i in $(seq 1 24); do
    head -c $((60000 + 1000 * i)) /dev/urandom > "$old/old$i.bin"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$old.img" "$old/old$i.bin" "::/old$i.bin"
done
echo "start=2048, type=6" | sfdisk -q "$old.img"
mkfs.fat -C -F 16 -n NEW "$old.new" $(((128 << 10) - 1024)) >/dev/null
dd if="$old.new" of="$old.img" bs=512 seek=2048 conv=notrunc,sparse status=none
"$probe" deep "$old.img" --recover "$old.deep" > "$old.txt" 2>"$old.err" || { tail -5 "$old.err" >&2; fail "oldroot.deep: scan failed"; }
n="$(comm -12 <(sha256sum "$old"/*.bin | cut -c1-64 | sort) <(find "$old.deep" -type f -exec sha256sum {} + | cut -c1-64 | sort -u) | wc -l)"
[ "$n" = 24 ] || fail "oldroot.deep: $n of the old volume's 24 files come back"
echo "oldroot.deep: 24 of 24 of the old volume's files as written"

if [ "$(id -u)" -ne 0 ]; then echo "scan_image part_damage: loop devices skipped, needs root"; exit 77; fi
# The same of an exFAT partition in an exFAT volume's claimed space (made as root).
for name in past_xfree past_xfreegone; do
    rec="$out/$name.deep"
    "$probe" deep "$d/$name.img" --services --recover "$rec" > "$rec.txt" 2>"$rec.err" ||
        { tail -5 "$rec.err" >&2; fail "$name.deep: scan or recovery failed"; }
    [ "$(grep -c -e 'inx_[123]\.dat$' -e 'top\.dat$' "$rec.txt")" -eq 4 ] || fail "$name.deep: XNEXT's files not listed once each"
    placed "$rec" "$d/nextx.sha256"
    echo "$name.deep: $(grep '^recovered=' "$rec.txt" | cut -d' ' -f1-2), XNEXT's files once each as placed"
    rm -rf "$rec"
done
command -v losetup >/dev/null || fail "missing 'losetup': install the Debian package 'mount'"
command -v partx >/dev/null || fail "missing 'partx': install the Debian package 'util-linux'"
trap 'loop_detach_all; rm -rf "$out"' EXIT
each_disk loop "${disks[@]}"
each_disk parts "${extended[@]}" "${past[@]}"
# Through the partitions the kernel makes of the entries (each the entry's size).
for run in "${manifests[@]}"; do
    IFS=: read -r name tag <<<"$run"
    { loop_attach -r -P "$d/$name.img" && loop_partitions "$loop_dev"; } || fail "$name: no loop device with partitions"
    past_files "$name" "$loop_dev" parts "$tag"
    loop_detach "$loop_dev"
done
echo "scan_image part_damage: ok"
