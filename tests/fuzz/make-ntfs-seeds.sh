#!/usr/bin/env bash
# Makes the seeds of the NTFS search-record and deep-scan fuzz targets: a
# 1.1 MiB NTFS volume made with mkntfs (512-byte clusters) holding three
# files copied in with ntfscp, set in a small disk at sector 64 (its partition
# table is zeroed, and in a second seed its primary boot sector too); the
# metafile records, the root folder's and a file's record of that volume; and
# a few saved record forms. The seeds are committed; run this again only to
# remake them: bash tests/fuzz/make-ntfs-seeds.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
source "$root/tests/fixtures/lib.sh"
need mkntfs ntfs-3g
need ntfscp ntfs-3g
need python3 python3
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
deep="$here/corpus/ntfs_deepscan_fuzz"
records="$here/corpus/ntfs_searchrecords_fuzz"
mkdir -p "$deep" "$records"

vol="$WORK/vol.img"
truncate -s 1100K "$vol"
mkntfs -q -Q -F -s 512 -c 512 -p 64 -H 0 -S 0 -L FUZZ "$vol" >/dev/null 2>&1
for i in 1 2 3; do
    randfile "$WORK/f$i" $((i * 1500)) "ntfs-seed-$i"
    ntfscp -q "$vol" "$WORK/f$i" "file$i.bin"
done
disk="$deep/ntfs_small_disk.img"
truncate -s $(((64 + 2200 + 8) * 512)) "$disk"
dd if="$vol" of="$disk" bs=512 seek=64 conv=notrunc status=none
cp "$disk" "$deep/ntfs_small_noboot.img"
dd if=/dev/zero of="$deep/ntfs_small_noboot.img" bs=512 seek=64 count=1 conv=notrunc status=none

# Records: mode byte 0 (a 1024-byte record), then the record as on disk.
mft=$(od -An -tu8 -j48 -N8 "$vol" | tr -d ' ')
for r in 0 1 2 4 5 6 10 64; do
    { printf '\x00'; dd if="$vol" bs=1024 skip=$((mft / 2 + r)) count=1 status=none; } > "$records/record_$r"
done
# Saved forms: mode byte 1, then the form.
python3 - "$records" <<'PY'
import struct, sys
out = sys.argv[1]
def save(name, data):
    open(f"{out}/saved_{name}", "wb").write(b"\x01" + data)
runs = struct.pack("<I", 2) + struct.pack("<qqq", 32, 0, 16) + struct.pack("<qqq", -1, 16, 4)
save("mft", struct.pack("<BqBB", 10, 96, 2, 1) + runs)
save("logfile", struct.pack("<Bqq", 4, 100, 77) + runs + b"\x08")
save("position", struct.pack("<Bqq", 13, 2048, 40))
save("folder", struct.pack("<BqqqIII", 14, 300, 5, 70, 70, 1, 8) + runs)
save("partition", struct.pack("<BHIIqqqqIIQqdIIQIIIqqqqq", 15, 0, 3, 8, 2048, 2048, 0, 3, 512, 0, 65528, 80, 3.0,
                               0, 0, 0x1234, 2, 39, 1, 8191, 0, 5, 0, 2080))
PY
