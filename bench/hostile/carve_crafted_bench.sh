#!/usr/bin/env bash
# carve_crafted_bench.sh SCAN_IMAGE [WORKDIR] [SIZE_MIB...]
# The carver's cost on crafted images (make-crafted-carve.sh): a JPEG start,
# "%PDF", an MP4 mdat of 2^63-1 bytes or a RIFF of size 0xFFFFFFFF in every
# sector, and TIFF directory loops; and a BMP header claiming 60 MiB, a ZIP
# whose end record carries a 65,535-byte comment or names itself, and a bare
# JPEG start with random bytes without FF in every sector
# (tests/fixtures/carve_floods.py); at 64 and 512 MiB by default. Prints per
# image the seconds, peak memory, files and bytes listed by `scan_image deep`,
# the listed bytes over the image's size and the time ratio to the smallest
# size. Images are made once in WORKDIR (default /tmp/salvor-bench/carve) and
# reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench/carve}"
shift $(($# < 2 ? $# : 2))
sizes=("${@:-64}")
[ $# -gt 0 ] || sizes=(64 512)
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time: install the Debian package 'time'" >&2; exit 77; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/make-crafted-carve.sh" "$work" "${sizes[@]}"
floods=(bmp zipcomment zipself jpegbare)
for kind in "${floods[@]}"; do
    for m in "${sizes[@]}"; do
        [ -f "$work/${kind}_${m}m.img" ] || python3 "$here/../../tests/fixtures/carve_floods.py" "$kind" "$m" "$work/${kind}_${m}m.img"
    done
done
for kind in jpegstart pdfstart mp4mdat riffmax tiffloop "${floods[@]}"; do
    base=""
    for m in "${sizes[@]}"; do
        img="$work/${kind}_${m}m.img"
        /usr/bin/time -f '%e %M' -o "$work/time" "$probe" deep "$img" > "$work/out" 2>/dev/null || true
        read -r secs kib < "$work/time"
        last=$(tail -n 1 "$work/out")
        files=$(sed -n 's/.* files=\([0-9]*\).*/\1/p' <<< "$last")
        bytes=$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<< "$last")
        base="${base:-$secs}"
        awk -v k="$kind" -v m="$m" -v s="$secs" -v p="$kib" -v f="${files:-?}" -v b="${bytes:-0}" -v t="$base" \
            'BEGIN { printf "%-10s %4d MiB  seconds=%7.2f  peakMiB=%7.1f  files=%s  listedMiB=%.1f  listed/image=%.2f  time/smallest=%.2f\n",
                     k, m, s, p / 1024, f, b / 1048576, b / (m * 1048576), (t > 0 ? s / t : 0) }'
    done
done
