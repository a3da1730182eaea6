#!/usr/bin/env bash
# marks_bench.sh SCAN_IMAGE [WORKDIR] [--loop]
# What marking files by their bytes costs a save and a load: a 512 MiB FAT32
# image of 30,000 small files (1 to 8 KiB of random bytes, 30 folders) made
# once by mkfs.fat and mcopy in WORKDIR (default /tmp/salvor-bench), read
# into the page cache, then deep-scanned alone, scanned and saved with marks
# and without (--no-marks), and each save loaded: medians of 3 runs, in
# seconds (a save's time is its scan-and-save less the scan alone). Each
# line also counts the files the save marked. With --loop the image is read
# through a loop device of direct I/O whose buffers are dropped before each
# run, as a device read for the first time. MARKS=with measures only saves
# with marks (a probe without --no-marks).
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}"
loop=no
[ "${3:-}" = --loop ] && loop=yes
export MTOOLS_SKIP_CHECK=1 LC_ALL=C QT_QPA_PLATFORM=offscreen
for tool in mkfs.fat:dosfstools mcopy:mtools python3:python3 losetup:util-linux blockdev:util-linux; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "/sbin/${tool%%:*}" ] ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
export PATH="$PATH:/sbin:/usr/sbin"
mkdir -p "$work"
img="$work/fat32_30k_small.img"
if [ ! -f "$img.done" ]; then
    rm -f "$img"
    src="$(mktemp -d)"
    trap 'rm -rf "$src"' EXIT
    python3 - "$src" <<'PY'
import os, random, sys
r = random.Random(30000)
for d in range(30):
    folder = os.path.join(sys.argv[1], "folder%02d" % d)
    os.mkdir(folder)
    for f in range(1000):
        with open(os.path.join(folder, "file%04d.bin" % f), "wb") as out:
            out.write(r.randbytes(r.randrange(1024, 8193)))
PY
    mkfs.fat -C -F 32 -n MARKS30K "$img" 524288 >/dev/null
    mcopy -s -i "$img" "$src"/folder* ::/
    touch "$img.done"
fi
device="$img"
if [ $loop = yes ]; then
    device=$(losetup --find --show --read-only --direct-io=on "$img")
    trap 'losetup -d "$device"' EXIT
fi
out="$(mktemp -d)"
trap 'rm -rf "$out"; [ $loop = no ] || losetup -d "$device"' EXIT
cat "$img" > /dev/null
cold() { if [ $loop = yes ]; then blockdev --flushbufs "$device"; fi; }
# seconds COMMAND...: the wall time of the command, which must succeed.
seconds() {
    local t0 t1
    cold
    t0=$(date +%s.%N)
    "$@" > "$out/listing" 2> "$out/err" || { echo "failed: $* ($(tail -n 1 "$out/err"))" >&2; exit 1; }
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The files a save marks: its NodeData entries of kind 3.
marked() {
    python3 - "$1" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read()
guid = bytes.fromhex("0B262C780452544AA104BA6F75679ACE")
pos, count = 132, 0
while pos + 36 <= len(b):
    size = struct.unpack_from("<I", b, pos + 32)[0]
    if b[pos + 16:pos + 32] == guid:
        at, end = pos + 36, pos + 36 + size
        while at + 16 <= end:
            kind, length = struct.unpack_from("<II", b, at + 8)
            count += kind == 3
            at += 16 + length
    pos += 36 + size
print(count)
PY
}
scan=$(for i in 1 2 3; do seconds "$probe" deep "$device" --services; done | median)
echo "scan alone: seconds=$scan (device $device)"
for marks in ${MARKS:-with without}; do
    flag=""
    [ $marks = with ] || flag=--no-marks
    saves=$(for i in 1 2 3; do
        seconds "$probe" deep "$device" --services --save "$out/$marks.rsf" $flag; done | median)
    loads=$(for i in 1 2 3; do seconds "$probe" load "$out/$marks.rsf" --device "$device"; done | median)
    files=$(grep -c $'^[0-9]*\t[LD]\t[0-9]*\t.*[^/]$' "$out/listing" || true)
    awk -v m="$marks" -v s="$saves" -v a="$scan" -v l="$loads" -v f="$files" -v k="$(marked "$out/$marks.rsf")" \
        'BEGIN { printf "%-7s marks: save seconds=%.2f load seconds=%.2f files=%d marked=%d\n", m, s - a, l, f, k }'
done
