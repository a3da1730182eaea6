#!/usr/bin/env bash
# scan_image --services, quick, on partitioned 100 MiB disks with one damaged
# table entry (part_damage fixture): a third MBR entry overlapping the first,
# a boot flag 0x01, a FAT boot sector over the boot code, and a GPT whose
# 1,024 entries name one partition. Each lists what fls lists in every
# partition mmls shows (a partition named more than once counted once), at
# most 256 MiB at its peak. As root, the disks attached read-only as loop
# devices list the same (otherwise the test ends as skipped, 77).
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
# entry that holds no file system: it adds nothing).
oracle() {
    mmls "$1" | awk '$2 ~ /^[0-9:]+$/ { print $3 + 0 }' | sort -un | while read -r start; do
        fls_names -o "$start" "$1" 2>/dev/null || true
    done | sort
}

check_disk() { # NAME DEVICE-OR-IMAGE TAG FILES
    local name="$1" dev="$2" tag="$3" files="$4"
    "$probe" quick "$dev" --services > "$out/$tag.txt" 2>"$out/$tag.err" ||
        { cat "$out/$tag.err" >&2; fail "$tag: --services failed"; }
    local summary peak
    summary="$(tail -n 1 "$out/$tag.txt")"
    echo "$tag: $summary"
    grep -q "^nodes=[0-9]* files=$files " <<<"$summary" || fail "$tag: not $files files: $summary"
    peak="$(sed -n 's/.*peakMiB=\([0-9.]*\).*/\1/p' <<<"$summary")"
    awk -v p="$peak" 'BEGIN { exit !(p <= 256) }' || fail "$tag: peak $peak MiB"
    head -n -1 "$out/$tag.txt" > "$out/$tag.list"
    diff <(oracle "$d/$name.img") <(scan_names "$out/$tag.list") >&2 ||
        fail "$tag: listing differs from mmls + fls"
}
disks=(intact:40 overlap:40 bootflag:40 fatsector:40 gpt_repeat:20)
for disk in "${disks[@]}"; do
    check_disk "${disk%:*}" "$d/${disk%:*}.img" "${disk%:*}" "${disk#*:}"
done

if [ "$(id -u)" -ne 0 ]; then echo "scan_image part_damage: loop devices skipped, needs root"; exit 77; fi
command -v losetup >/dev/null || fail "missing 'losetup': install the Debian package 'mount'"
loops=()
trap 'for l in ${loops[@]+"${loops[@]}"}; do losetup -d "$l" || true; done; rm -rf "$out"' EXIT
for disk in "${disks[@]}"; do
    dev="$(losetup -r -f --show "$d/${disk%:*}.img")"
    loops+=("$dev")
    check_disk "${disk%:*}" "$dev" "${disk%:*}.loop" "${disk#*:}"
done
echo "scan_image part_damage: ok"
