#!/usr/bin/env bash
# quick_ntfs_bench.sh SCAN_IMAGE [WORKDIR]
# Quick-scan throughput on a 1 GiB NTFS image holding 20,000 files in 100
# folders (1,000 of them deleted): scan_image beside fls -r on the same image,
# files per second and peak memory of each. The image is made once in WORKDIR
# (default /tmp/salvor-bench) through ntfs-3g (root and FUSE) and reused.
# Then the same volume whose $MFT's attribute list names 16 extension records
# claiming the whole volume (tests/fixtures/ntfs_volumes/mft_extensions.py):
# each range of the $MFT is read once, so time and memory stay those of the
# plain volume.
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}"
export LC_ALL=C
for tool in mkntfs:ntfs-3g ntfs-3g:ntfs-3g fls:sleuthkit /usr/bin/time:time; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "/sbin/${tool%%:*}" ] ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
export PATH="$PATH:/sbin:/usr/sbin"
mkdir -p "$work"
img="$work/ntfs_20k.img"
if [ ! -f "$img.done" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "making the image needs root (FUSE)" >&2; exit 77; }
    rm -f "$img"
    src="$(mktemp -d)"
    trap 'mountpoint -q "$src/mnt" && fusermount -u "$src/mnt"; rm -rf "$src"' EXIT
    for d in $(seq -w 0 99); do
        mkdir -p "$src/folder$d"
        head -c $((200 * 4600)) /dev/urandom | split -b 4600 -a 3 -d - "$src/folder$d/file"
    done
    truncate -s 1G "$img"
    mkntfs -F -Q -q -L BENCH20K "$img" >/dev/null 2>&1
    mkdir "$src/mnt"
    ntfs-3g "$img" "$src/mnt"
    cp -r "$src"/folder* "$src/mnt/"
    for d in $(seq -w 0 99); do rm "$src/mnt/folder$d"/file00[0-9]; done
    fusermount -u "$src/mnt"
    touch "$img.done"
fi

source "$(dirname "${BASH_SOURCE[0]}")/measure.inc"
measure scan_image "$probe" quick "$img"
tail -n 1 "$work/scan_image.out"
measure fls fls -r -p "$img"
crafted="$work/ntfs_20k_ext.img"
if [ ! -f "$crafted.done" ]; then
    cp --sparse=always "$img" "$crafted"
    python3 "$(dirname "${BASH_SOURCE[0]}")/../../tests/fixtures/ntfs_volumes/mft_extensions.py" "$crafted" 16
    touch "$crafted.done"
fi
measure scan_crafted "$probe" quick "$crafted"
