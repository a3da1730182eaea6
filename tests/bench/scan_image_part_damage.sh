#!/usr/bin/env bash
# scan_image --services, quick, on partitioned 100 MiB disks with damaged
# table entries (part_damage fixture): a third MBR entry overlapping the
# first, a boot flag 0x01, a FAT boot sector over the boot code, and a GPT
# whose 1,024 entries name one partition; entries overlapping a partition
# while both start at volumes (an MBR, EBR, GPT or Apple map entry too long or
# running to the disk's end, a 1-sector entry before the real one, an
# extended partition a primary overlaps). Each lists what fls lists in every
# partition mmls shows (a partition named more than once counted once), at
# most 256 MiB at its peak. Cards whose boot code reads as an entry pointing
# into their own volume (its backup boot sector, a disk image kept on it) list
# the card's files, as fls reads the card, with the partitions beyond it; a
# volume at sector 0 beside a table's partitions is listed with them. Sticks
# formatted whole, then partitioned by sfdisk or sgdisk, list their partition.
# Sticks used, then partitioned, list their partitions, not the old volume.
# A stray entry (a copy of a partition's boot sector in another's free space,
# a FAT32 or NTFS backup boot sector, a disk image kept as a file or deleted,
# a boot sector in free space) in any slot of an MBR, EBR chain, GPT or Apple
# map hides no sound volume, least of all the one holding it. As
# root, the disks attached read-only as loop devices list the same (otherwise
# the test ends as skipped, 77).
# Usage: scan_image_part_damage.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" part_damage
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image part_damage: $*" >&2; exit 1; }
for tool in fls mmls; do
    command -v $tool >/dev/null || fail "missing '$tool': install the Debian package 'sleuthkit'"
done
command -v python3 >/dev/null || fail "missing 'python3': install the Debian package 'python3'"
d="$fixtures/part_damage"

# fls of each partition mmls lists, each first sector once (fls fails on an
# entry that holds no file system: it adds nothing), or of the first sectors
# given ("0,67584").
oracle() { # IMAGE [STARTS]
    { if [ -n "${2:-}" ]; then tr , '\n' <<<"$2"; else mmls "$1" | awk '$2 ~ /^[0-9:]+$/ { print $3 + 0 }'; fi; } |
        sort -un | while read -r start; do
            fls_names -o "$start" "$1" 2>/dev/null || true
        done | sort
}

check_disk() { # NAME DEVICE-OR-IMAGE TAG FILES [STARTS]
    local name="$1" dev="$2" tag="$3" files="$4" starts="${5:-}"
    "$probe" quick "$dev" --services > "$out/$tag.txt" 2>"$out/$tag.err" ||
        { cat "$out/$tag.err" >&2; fail "$tag: --services failed"; }
    local summary peak
    summary="$(tail -n 1 "$out/$tag.txt")"
    echo "$tag: $summary"
    grep -q "^nodes=[0-9]* files=$files " <<<"$summary" || fail "$tag: not $files files: $summary"
    peak="$(sed -n 's/.*peakMiB=\([0-9.]*\).*/\1/p' <<<"$summary")"
    awk -v p="$peak" 'BEGIN { exit !(p <= 256) }' || fail "$tag: peak $peak MiB"
    head -n -1 "$out/$tag.txt" > "$out/$tag.list"
    diff <(oracle "$d/$name.img" "$starts") <(scan_names "$out/$tag.list") >&2 ||
        fail "$tag: listing differs from mmls + fls"
}
# NAME:FILES[:STARTS] of the disks with one damaged entry, of those whose
# overlapping entries both start at volumes, and of the cards.
damaged=(intact:40 overlap:40 bootflag:40 fatsector:40 fatsector_one:20 gpt_repeat:20)
overlaps=(long:40 allones:40 onesector:40 gpt_toend:40 apm_toend:40 gpt_onesector:40 apm_onesector:40
          ext_overlap:40 ebr_allones:40)
cards=(card_backup:10:0 card_image:11:0 card_table:25:0,67584 card_backup_out:30:0,86016 card_image_out:31:0,67584
       card_exfat_out:140:0,133120 card_small:10:0)
# Sticks formatted whole, then partitioned: the partition, as mmls shows it
# (mmls reads no table over an NTFS boot sector: fls of the partition sfdisk made).
sticks=(stick_ntfs_mbr:5:2048 stick_ntfs_gpt:5)
for kind in fat12 fat16 fat32 exfat; do sticks+=("stick_${kind}_mbr:5" "stick_${kind}_gpt:5"); done
# Sticks used, then partitioned (mmls reads no MBR over an NTFS boot sector),
# and FAT32 cards keeping a disk image, or having deleted it.
for kind in fat16 fat32k8 fat12 fat32at exfat exfat2048 exfatin; do sticks+=("reused_${kind}_mbr:5" "reused_${kind}_gpt:5"); done
sticks+=(reused_ntfsshort_mbr:5:2048 reused_ntfsshort_gpt:5 reused_ntfstwo_mbr:9:2048,124928 reused_ntfstwo_gpt:9)
cards+=(card32_image_out:30:0,86016 card32_deleted_out:30:0,86016 card_ntfs_image_out:24:0,86016)
# A stray entry in each slot: the sound volumes, as tsk_recover reads them.
strays=()
for kind in mbr ebr gpt apm; do
    for slot in 1 2 3; do
        strays+=("stray_copy_${kind}_$slot:40:2048,67584" "stray_backup_${kind}_$slot:30:2048,86016"
                 "stray_image_${kind}_$slot:41:2048,67584" "stray_ntfs_${kind}_$slot:30:2048,67584")
    done
done
# Entries at volumes inside a partition (disk images kept or deleted, a boot
# sector in its free space) leave it listed.
for kind in mbr ebr gpt apm; do
    strays+=("stray_ntfsimg_$kind:5:2048" "stray_fatdel_$kind:5:2048" "stray_freeboot_$kind:40:2048,67584"
             "stray_freetwo_$kind:40:2048,67584" "stray_freeover_$kind:40:2048,67584")
done
disks=("${damaged[@]}" "${overlaps[@]}" "${cards[@]}" "${sticks[@]}" "${strays[@]}")
loops=()
each_disk() { # image|loop: each disk as its image file or attached read-only as a loop device
    local disk name files starts dev tag
    for disk in "${disks[@]}"; do
        IFS=: read -r name files starts <<<"$disk"
        dev="$d/$name.img" tag="$name"
        if [ "$1" = loop ]; then
            dev="$(losetup -r -f --show "$dev")" tag="$name.loop"
            loops+=("$dev")
        fi
        check_disk "$name" "$dev" "$tag" "$files" "$starts"
    done
}
each_disk image

if [ "$(id -u)" -ne 0 ]; then echo "scan_image part_damage: loop devices skipped, needs root"; exit 77; fi
command -v losetup >/dev/null || fail "missing 'losetup': install the Debian package 'mount'"
trap 'for l in ${loops[@]+"${loops[@]}"}; do losetup -d "$l" || true; done; rm -rf "$out"' EXIT
each_disk loop
echo "scan_image part_damage: ok"
