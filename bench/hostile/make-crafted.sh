#!/usr/bin/env bash
# make-crafted.sh OUTDIR SIZE_KIB...
# Crafted images of folder-like data for the deep-scan cost benchmark and the
# fuzz seeds. For each size it writes, unless already there:
#   OUTDIR/fatdir_<SIZE>k.img    one FAT32 folder's first sector ("." and ".."
#                                then file entries; mkfs.fat + mtools), repeated
#   OUTDIR/fatdistinct_<SIZE>k.img  that FAT32 folder sector in every sector,
#                                each naming clusters of its own: "." the
#                                sector's own cluster for a data start that
#                                changes every 64 sectors, ".." and the entries
#                                spread over the image
#   OUTDIR/exfatdir_<SIZE>k.img  one exFAT folder cluster (the Docs folder of the
#                                committed exFAT fixture: a sub-folder and two
#                                files), repeated
# and once OUTDIR/fat12distinct.img, a 64 KiB FAT12 volume (mkfs.fat) whose data
# area is all folder first sectors of that volume naming clusters of their own.
set -euo pipefail
out="$1"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C PATH="$PATH:/sbin:/usr/sbin"
for tool in mkfs.fat:dosfstools mcopy:mtools fls:sleuthkit istat:sleuthkit xz:xz-utils python3:python3; do
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

# distinct UNIT OUT SIZE_KIB [volume]: the folder sector UNIT in every sector
# of OUT with its cluster numbers rewritten (a multiplicative hash spreads
# them). With "volume", OUT already holds a FAT12/16 volume of that size and
# only the sectors of its data area are written, "." naming each one's own
# cluster of that volume.
distinct() {
    python3 - "$@" <<'PY'
import struct, sys
unit, out, kib = open(sys.argv[1], 'rb').read(), sys.argv[2], int(sys.argv[3])
volume = len(sys.argv) > 4
sectors, entries = kib * 2, 15  # ".", "..", SUB, FILE1 .. FILE12
spread = lambda x: (x * 2654435761 >> 7) & 0xFFFFFFF
first, clusters = 0, sectors
if volume:
    with open(out, 'rb') as f:
        boot = f.read(512)
    reserved, fats, roots, per_fat = struct.unpack_from('<HBHxxxH', boot, 14)
    first = reserved + fats * per_fat + roots * 32 // 512
    clusters = sectors - first
with open(out, 'r+b' if volume else 'wb') as f:
    f.seek(first * 512)
    for base in range(first, sectors, 2048):
        chunk = bytearray(unit * min(2048, sectors - base))
        for k in range(len(chunk) // 512):
            i = base + k
            run = i // 64
            if volume:
                start = first
            else:
                # The data start of this run of 64 sectors lies at or below its first sector.
                start = 3 + spread(run) % (run * 64 - 2) if run else i - 7 * i
            numbers = [i - start + 2]
            numbers += [2 + spread(i * entries + e) % clusters for e in range(1, entries)]
            for e, c in enumerate(numbers):
                at = k * 512 + e * 32
                struct.pack_into('<H', chunk, at + 20, c >> 16)
                struct.pack_into('<H', chunk, at + 26, c & 0xFFFF)
        f.write(chunk)
PY
}

# The fuzz seed: a 64 KiB FAT12 volume whose data area is all such folders
# (larger ones take the fuzz target seconds: it builds the tree at every node).
if [ ! -f "$out/fat12distinct.img" ]; then
    mkfs.fat -C -F 12 -S 512 -s 1 -n CRAFTED "$work/fat12.img" 64 >/dev/null
    distinct "$work/fat.unit" "$work/fat12.img" 64 volume
    mv "$work/fat12.img" "$out/fat12distinct.img"
fi

for kib in "$@"; do
    img="$out/fatdistinct_${kib}k.img"
    if [ ! -f "$img" ]; then
        distinct "$work/fat.unit" "$img.part" "$kib"
        mv "$img.part" "$img"
    fi
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
