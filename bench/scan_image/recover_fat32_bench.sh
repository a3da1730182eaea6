#!/usr/bin/env bash
# recover_fat32_bench.sh SCAN_IMAGE [WORKDIR [OUTDIR]]
# Recovery throughput on the 1 GiB FAT32 image of quick_fat32_bench.sh (20,000
# files in 100 folders, 1,000 of them deleted): every file recovered through
# the facade (scan_image --services --recover) beside the bare probe's
# --recover loop and beside cp -r of the live files copied out with mcopy.
# Prints seconds, MB/s, files/s and peak memory of each; the recovery's own
# seconds are the run's less a scan-only run. OUTDIR (default WORKDIR/out)
# receives the copies; a tmpfs there leaves the disk's writeback out.
set -euo pipefail
probe="$(readlink -f "$1")"
work="${2:-/tmp/salvor-bench}"
here="$(dirname "$(readlink -f "$0")")"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C QT_QPA_PLATFORM=offscreen
img="$work/fat32_20k.img"
[ -f "$img.done" ] || bash "$here/quick_fat32_bench.sh" "$probe" "$work" > /dev/null
src="$work/recover_src"
if [ ! -f "$src.done" ]; then
    rm -rf "$src" && mkdir -p "$src"
    mcopy -s -i "$img" '::/*' "$src/"
    touch "$src.done"
fi
out="${3:-$work/recover_out}"
trap 'rm -rf "$out"' EXIT
sync

run() { # run NAME COMMAND...: wall seconds and peak MiB into $secs / $mib
    rm -rf "$out" && mkdir -p "$out" && sync
    /usr/bin/time -f '%e %M' -o "$work/$1.time" "${@:2}" > "$work/$1.out" 2>/dev/null || true
    read -r secs kib < "$work/$1.time"
    mib=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
}
report() { # report NAME FILES BYTES SECONDS
    awk -v n="$1" -v f="$2" -v b="$3" -v s="$4" -v m="$mib" 'BEGIN {
        printf "%-18s files=%d MB=%.1f seconds=%.2f MBps=%.1f files/s=%.0f peakMiB=%s\n",
               n, f, b / 1e6, s, (s > 0 ? b / 1e6 / s : 0), (s > 0 ? f / s : 0), m }'
}
count() { find "$out" -type f | wc -l; }
bytes() { find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

run scan_only "$probe" quick "$img"; scan_secs=$secs
run cp cp -r "$src" "$out/"
report "cp -r" "$(count)" "$(bytes)" "$secs"
run bare "$probe" quick "$img" --recover "$out/r"
report "bare --recover" "$(count)" "$(bytes)" "$(awk -v a="$secs" -v b="$scan_secs" 'BEGIN { print a - b }')"
run services_scan "$probe" quick "$img" --services; services_scan=$secs
run services "$probe" quick "$img" --services --recover "$out/r"
report "services --recover" "$(count)" "$(bytes)" "$(awk -v a="$secs" -v b="$services_scan" 'BEGIN { print a - b }')"
echo "services line: $(tail -n 1 "$work/services.out")"
