#!/usr/bin/env bash
# make-crafted.sh OUTDIR SIZE_KIB...
# Crafted images of folder-like data for the deep-scan cost benchmark and the
# fuzz seeds. For each size it writes, unless already there:
#   OUTDIR/fatdir_<SIZE>k.img    one FAT32 folder's first sector ("." and ".."
#                                then file entries; mkfs.fat + mtools), repeated
#   OUTDIR/exfatdir_<SIZE>k.img  one exFAT folder cluster (the Docs folder of the
#                                committed exFAT fixture: a sub-folder and two
#                                files), repeated
set -euo pipefail
out="$1"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C PATH="$PATH:/sbin:/usr/sbin"
for tool in mkfs.fat:dosfstools mcopy:mtools fls:sleuthkit istat:sleuthkit xz:xz-utils; do
    command -v "${tool%%:*}" >/dev/null 2>&1 ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# first_sector IMAGE NAME: the first sector of the root-level folder NAME (istat).
first_sector() {
    local inode
    inode=$(fls "$1" | awk -F'\t' -v n="$2" '$2 == n { split($1, a, " "); sub(":", "", a[2]); print a[2]; exit }')
    istat "$1" "$inode" | sed -n '/^Sectors:/{n;p;q}' | awk '{ print $1 }'
}

# The repeated units.
fat="$work/fat.img"
mkfs.fat -C -F 32 -S 512 -s 1 -n CRAFTED "$fat" 65536 >/dev/null
mmd -i "$fat" ::/FOLDER ::/FOLDER/SUB
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
    head -c $((i * 700)) /dev/zero | tr '\0' 'x' > "$work/FILE$i.TXT"
    mcopy -i "$fat" "$work/FILE$i.TXT" ::/FOLDER/
done
dd if="$fat" of="$work/fat.unit" bs=512 skip="$(first_sector "$fat" FOLDER)" count=1 status=none
exfat="$work/exfat.img"
xz -dc "$here/../../tests/fixtures/exfat_quick/exfat_512.img.xz" > "$exfat"
dd if="$exfat" of="$work/exfat.unit" bs=512 skip="$(first_sector "$exfat" Docs)" count=8 status=none

for kib in "$@"; do
    for kind in fat exfat; do
        img="$out/${kind}dir_${kib}k.img"
        [ -f "$img" ] && continue
        unit="$work/$kind.unit"
        # 64 KiB of units, then as many of those as the size takes.
        for _ in $(seq $((65536 / $(stat -c %s "$unit")))); do cat "$unit"; done > "$work/block"
        for _ in $(seq $((kib / 64))); do cat "$work/block"; done > "$img.part"
        mv "$img.part" "$img"
    done
done
