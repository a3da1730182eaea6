#!/usr/bin/env bash
# Makes the seeds of volume_writes_fuzz: small volumes made by the tools
# (FAT12, exFAT, ext2, ext4, xfs, minix, bfs, btrfs, ISO 9660 plain and with
# HFS+), each written as the fuzz input's pieces: the device's size in
# sectors, then every run of sectors that is not zeros. The seeds are
# committed; run this again only to remake them: bash tests/fuzz/make-volume-writes-seeds.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$here/corpus/volume_writes_fuzz"
export PATH="$PATH:/sbin:/usr/sbin"
for tool in mkfs.fat:dosfstools mkfs.exfat:exfatprogs mke2fs:e2fsprogs mkfs.xfs:xfsprogs mkfs.minix:util-linux \
            mkfs.bfs:util-linux mkfs.btrfs:btrfs-progs xorriso:xorriso; do
    command -v "${tool%%:*}" > /dev/null || { echo "needs ${tool%%:*} (Debian package ${tool##*:})" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/tree"
head -c 20000 /dev/urandom > "$work/tree/a.bin"
make() { # NAME MIB COMMAND...: the image is the last argument
    local name="$1" mib="$2"
    shift 2
    truncate -s "${mib}M" "$work/$name.img"
    "$@" "$work/$name.img" > /dev/null 2>&1
    python3 - "$work/$name.img" "$out/$name" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
out = [struct.pack('<I', len(data) // 512)]
s = 0
while s < len(data) // 512:
    if not any(data[s * 512:(s + 1) * 512]):
        s += 1
        continue
    e = s
    while e < len(data) // 512 and e - s < 127 and any(data[e * 512:(e + 1) * 512]):
        e += 1
    out.append(struct.pack('<IH', s * 512, (e - s) * 512) + data[s * 512:e * 512])
    s = e
open(sys.argv[2], 'wb').write(b''.join(out))
PY
}
iso() { xorriso -outdev stdio:"${@: -1}" -blank as_needed "${@:1:$#-1}" -map "$work/tree" / -commit; }
make fat12 2 mkfs.fat -F 12
make exfat 8 mkfs.exfat
make ext2 2 mke2fs -q -F -t ext2 -d "$work/tree"
make ext4 8 mke2fs -q -F -t ext4 -d "$work/tree"
make xfs 16 env TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -K -q
make minix 2 mkfs.minix
make bfs 2 mkfs.bfs
make btrfs 64 mkfs.btrfs -f -q -M --rootdir "$work/tree"
make iso 4 iso
make iso_hfsplus 4 iso -hfsplus on
ls -l "$out"
