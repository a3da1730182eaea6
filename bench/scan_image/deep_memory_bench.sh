#!/usr/bin/env bash
# deep_memory_bench.sh SCAN_IMAGE [WORKDIR]
# Peak memory of a deep scan of a 20 GiB FAT32 volume (512-byte clusters, so
# each FAT is 157.5 MiB; 2,000 files in 200 folders) read as an image file
# and, side by side, the same bytes as a read-only loop device (needs root).
# The sparse image is made once in WORKDIR (default /tmp/salvor-bench).
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C
export PATH="$PATH:/sbin:/usr/sbin"
for tool in mkfs.fat:dosfstools mcopy:mtools losetup:mount /usr/bin/time:time; do
    command -v "${tool%%:*}" >/dev/null 2>&1 ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
mkdir -p "$work"
img="$work/fat32_20g.img"
if [ ! -f "$img.done" ]; then
    rm -f "$img"
    src="$(mktemp -d)"
    trap 'rm -rf "$src"' EXIT
    for d in $(seq -w 0 199); do
        mkdir -p "$src/folder$d"
        head -c $((10 * 3000)) /dev/urandom | split -b 3000 -a 2 -d - "$src/folder$d/file"
    done
    truncate -s 20G "$img"
    mkfs.fat -F 32 -s 1 -n BENCH20G "$img" >/dev/null
    mcopy -s -i "$img" "$src"/folder* ::/
    touch "$img.done"
fi

source "$(dirname "${BASH_SOURCE[0]}")/measure.inc"
measure scan_file "$probe" deep "$img"
if [ "$(id -u)" -ne 0 ]; then
    echo "scan_loop  skipped: a loop device needs root"
    exit 0
fi
dev="$(losetup -f --show -r "$img")"
trap 'losetup -d "$dev"' EXIT
measure scan_loop "$probe" deep "$dev"
