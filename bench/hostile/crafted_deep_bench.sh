#!/usr/bin/env bash
# crafted_deep_bench.sh SCAN_IMAGE [WORKDIR] [SIZE_MIB...]
# Deep-scan cost on crafted folder-like data (make-crafted.sh): one FAT folder
# sector repeated, FAT folder sectors each naming clusters of their own, and
# one exFAT folder cluster repeated, over 64, 256 and 512 MiB by default. Prints seconds, peak memory and nodes of `scan_image deep` per
# image, and the time ratio of each size to the smallest. Images are made once
# in WORKDIR (default /tmp/salvor-bench/crafted) and reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench/crafted}"
shift $(($# < 2 ? $# : 2))
sizes=("${@:-64}")
[ $# -gt 0 ] || sizes=(64 256 512)
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time: install the Debian package 'time'" >&2; exit 77; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/make-crafted.sh" "$work" $(for m in "${sizes[@]}"; do echo $((m * 1024)); done)
for kind in fatdir fatdistinct exfatdir; do
    base=""
    for m in "${sizes[@]}"; do
        img="$work/${kind}_$((m * 1024))k.img"
        /usr/bin/time -f '%e %M' -o "$work/time" "$probe" deep "$img" > "$work/out" 2>/dev/null || true
        read -r secs kib < "$work/time"
        nodes=$(tail -n 1 "$work/out" | sed -n 's/^nodes=\([0-9]*\).*/\1/p')
        base="${base:-$secs}"
        awk -v k="$kind" -v m="$m" -v s="$secs" -v p="$kib" -v n="${nodes:-?}" -v b="$base" \
            'BEGIN { printf "%-11s %4d MiB  seconds=%7.2f  peakMiB=%7.1f  nodes=%s  time/smallest=%.2f\n", k, m, s, p / 1024, n, (b > 0 ? s / b : 0) }'
    done
done
