#!/usr/bin/env bash
# quick_fat32_bench.sh SCAN_IMAGE [WORKDIR]
# Quick-scan throughput on a 1 GiB FAT32 image holding 20,000 files in 100
# folders (1,000 of them deleted): scan_image beside fls -r on the same image,
# files per second and peak memory of each. The image is made once in WORKDIR
# (default /tmp/salvor-bench) and reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C
for tool in mkfs.fat:dosfstools mcopy:mtools fls:sleuthkit /usr/bin/time:time; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "/sbin/${tool%%:*}" ] ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
export PATH="$PATH:/sbin:/usr/sbin"
mkdir -p "$work"
img="$work/fat32_20k.img"
if [ ! -f "$img.done" ]; then
    rm -f "$img"
    src="$(mktemp -d)"
    trap 'rm -rf "$src"' EXIT
    for d in $(seq -w 0 99); do
        mkdir -p "$src/folder$d"
        head -c $((200 * 4600)) /dev/urandom | split -b 4600 -a 3 -d - "$src/folder$d/file"
    done
    mkfs.fat -C -F 32 -n BENCH20K "$img" 1048576 >/dev/null
    mcopy -s -i "$img" "$src"/folder* ::/
    for d in $(seq -w 0 99); do
        mdel -i "$img" $(for f in $(seq -w 0 9); do printf '::/folder%s/file00%s ' "$d" "$f"; done)
    done
    touch "$img.done"
fi

source "$(dirname "${BASH_SOURCE[0]}")/measure.inc"
measure scan_image "$probe" quick "$img"
tail -n 1 "$work/scan_image.out"
measure fls fls -r -p "$img"
