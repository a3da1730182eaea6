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

# distinct UNIT OUT SIZE_KIB: the folder sector UNIT in every sector of OUT
# with its cluster numbers rewritten (a multiplicative hash spreads them).
distinct() {
    python3 - "$@" <<'PY'
import struct, sys
unit, out, kib = open(sys.argv[1], 'rb').read(), sys.argv[2], int(sys.argv[3])
sectors, entries = kib * 2, 15  # ".", "..", SUB, FILE1 .. FILE12
spread = lambda x: (x * 2654435761 >> 7) & 0xFFFFFFF
with open(out, 'wb') as f:
    for base in range(0, sectors, 2048):
        chunk = bytearray(unit * min(2048, sectors - base))
        for k in range(len(chunk) // 512):
            i = base + k
            run = i // 64
            # The data start of this run of 64 sectors lies at or below its first sector.
            start = 3 + spread(run) % (run * 64 - 2) if run else 0
            clusters = [i - start + 2 if run else 2 + i * 7]
            clusters += [2 + spread(i * entries + e) % sectors for e in range(1, entries)]
            for e, c in enumerate(clusters):
                at = k * 512 + e * 32
                struct.pack_into('<H', chunk, at + 20, c >> 16)
                struct.pack_into('<H', chunk, at + 26, c & 0xFFFF)
        f.write(chunk)
PY
}

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
