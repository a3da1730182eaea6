#!/usr/bin/env bash
# tables_bench.sh SCAN_IMAGE [WORKDIR]
# Time to read a partition table against its number of entries: N nested FAT12
# volumes 48 sectors apart from sector 8192, each claiming the rest of the
# disk, named by a GPT of N entries or by a chain of N extended boot records
# (sectors 1024, 1025, ...); and a stick whose FAT16 volume at sector 0 keeps
# N disk images of 128 sectors side by side, its boot code holding the chain
# naming them (kept), each image one file; N = 512, 1,024, 2,048, 4,096.
# Every volume is listed, overlapping ones too: the outermost nested one (and
# the stick) holds the table's one file (files=1, kept: files=N+1). Each disk
# is scanned
# quick through the services as an image file and, as root, as a read-only
# loop device (the device list reads the same table), best of 3. The ratio per doubling
# should stay near 2 (linear time), the peak memory flat. Disks are made once in WORKDIR (default
# /tmp/salvor-bench).
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}/tables"
export LC_ALL=C QT_QPA_PLATFORM=offscreen
for tool in python3:python3 /usr/bin/time:time; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
mkdir -p "$work"
make_disk() { # IMG gpt|ebr N
    python3 - "$@" <<'PY'
import struct, sys, zlib
img, kind, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
S, base = 512, 8192
# kept: N disk images of 128 sectors kept side by side in the FAT16 volume at
# sector 0, whose boot code holds the chain naming them.
step = 128 if kind == 'kept' else 48
total = base + step * n + 2048
with open(img, 'wb') as f:
    f.truncate(total * S)
    def at(sector, data):
        f.seek(sector * S)
        f.write(data)
    def entry(kind, start, count):
        return struct.pack('<B3sB3sII', 0, b'\xfe\xff\xff', kind, b'\xfe\xff\xff', start, count)
    def volume(start, spc, roots, total, fat, serial, label, text, fats):
        # A FAT boot sector at start, its FATs' heads, one file in its root.
        b = bytearray(S)
        b[0:3] = b'\xeb\x3c\x90'
        b[3:11] = b'MSWIN4.1'
        struct.pack_into('<HBHBHHBHHHII', b, 11, 512, spc, 1, 2, roots, 0 if total > 0xffff else total, 0xf8, fat,
                         32, 64, start, total if total > 0xffff else 0)
        struct.pack_into('<BBBI11s8s', b, 36, 0x80, 0, 0x29, serial, label, text)
        b[510:512] = b'\x55\xaa'
        at(start, b)
        for i in range(2):
            at(start + 1 + i * fat, b'\xf8\xff\xff' + (b'\xff' if text == b'FAT16   ' else b''))
        if fats is not None:
            at(start + 1 + 2 * fat, struct.pack('<11sBBBHHHHHHHI', fats, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 2, 10))
        return b
    starts = [base + step * i for i in range(n)]
    for i, start in enumerate(starts):
        if kind == 'kept':
            volume(start, 1, 224, step, 1, 0x5a1f0000 + i, b'KEPT       ', b'FAT12   ', b'IMAGE   TXT')
        else:
            # One file in the outermost volume's root: the volume the scan lists.
            volume(start, 64, 512, total - 34 - start, 12, 0x5a1f0000 + i, b'NESTED     ', b'FAT12   ',
                   b'HELLO   TXT' if i == 0 else None)
    mbr = bytearray(S)
    mbr[510:512] = b'\x55\xaa'
    if kind == 'kept':
        # The stick's own volume, its one file in its root folder.
        mbr[0:446] = volume(0, 16, 224, total, 132, 0x5a1fcafe, b'STICK      ', b'FAT16   ', b'HELLO   TXT')[0:446]
    if kind in ('ebr', 'kept'):
        mbr[446:462] = entry(5, 1024, total - 1024)
        for i, start in enumerate(starts):
            ebr = bytearray(S)
            ebr[446:462] = entry(1, start - (1024 + i), step if kind == 'kept' else total - 34 - start)
            if i + 1 < n:
                ebr[462:478] = entry(5, i + 1, 1)
            ebr[510:512] = b'\x55\xaa'
            at(1024 + i, ebr)
    else:
        mbr[446:462] = entry(0xee, 1, total - 1)
        array = bytearray(128 * n)
        basic = bytes.fromhex('a2a0d0ebe5b9334487c068b6b72699c7')
        for i, start in enumerate(starts):
            struct.pack_into('<16s16sQQ', array, 128 * i, basic, struct.pack('<QQ', i + 1, 0x5a1f), start, total - 34)
        crc = zlib.crc32(array) & 0xffffffff
        sectors = len(array) // S
        for lba, other, entries in ((1, total - 1, 2), (total - 1, 1, total - 1 - sectors)):
            h = bytearray(S)
            struct.pack_into('<8sIIIIQQQQ16sQIII', h, 0, b'EFI PART', 0x10000, 92, 0, 0, lba, other, 2 + sectors,
                             total - 2 - sectors, bytes(range(16)), entries, n, 128, crc)
            struct.pack_into('<I', h, 16, zlib.crc32(bytes(h[:92])) & 0xffffffff)
            at(entries, array)
            at(lba, h)
    at(0, mbr)
PY
}
loops=()
trap 'for l in ${loops[@]+"${loops[@]}"}; do losetup -d "$l" || true; done' EXIT
for kind in gpt ebr kept; do
    last=""
    for n in 512 1024 2048 4096; do
        img="$work/nested_${kind}_$n.img"
        [ -f "$img" ] || make_disk "$img" "$kind" "$n"
        line="$kind n=$n"
        devs=("$img")
        if [ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null; then
            loop="$(losetup -r -f --show "$img")"
            loops+=("$loop")
            devs+=("$loop")
        fi
        for dev in "${devs[@]}"; do
            secs="" # best of 3: the machine's other work only adds
            for _ in 1 2 3; do
                /usr/bin/time -f '%e %M' -o "$work/time" "$probe" quick "$dev" --services > "$work/out" 2>/dev/null || true
                read -r s kib < "$work/time"
                secs="$(awk -v a="$secs" -v b="$s" 'BEGIN { print (a == "" || b < a) ? b : a }')"
            done
            what=image; [ "$dev" = "$img" ] || what=loop
            line+="  $what ${secs}s $(tail -n 1 "$work/out" | grep -o 'files=[0-9]*') peakMiB=$((kib / 1024))"
            if [ "$what" = image ]; then
                [ -z "$last" ] || line+=" x$(awk -v a="$last" -v b="$secs" 'BEGIN { printf "%.2f", (a > 0 ? b / a : 0) }')"
                last="$secs"
            fi
        done
        echo "$line"
    done
done
