#!/usr/bin/env bash
# zipdesc_bench.sh SCAN_IMAGE [WORKDIR]
# The carver on starts of one file's parts, each on a sector border: ZIP
# members whose sizes follow their data (a data descriptor), at 2, 4, 8 and
# 16 MiB, and a mail folder's messages: the time should at most double with
# the input.
#   desc   a stored local header with the descriptor flag and sizes 0 in
#          every sector, random bytes between them, no directory anywhere
#          (tests/fixtures/carve_floods.py zipdesc); nothing is listed
#   stream a stored ZIP written by zip to a pipe (each member's sizes in a
#          descriptor), members of 512 bytes with their headers filling the
#          image but for the directory, placed in random bytes
#          (tests/fixtures/carve_members.py); one archive is listed
# and a mail folder with a "From " line at the start of every sector but the
# last, at 8 to 256 MiB (tests/fixtures/carve_floods.py mboxfrom), and the
# same running to the device's end (fromend, mboxfromend); one folder is
# listed, whole. So it is where each message of 32 KiB holds a vertical tab
# and its web page part starts on a sector border (parts, mboxparts); the
# parts are listed too.
# Prints per image the seconds (the best of RUNS runs, 1 unless set) with
# the processor seconds (user and system) of that run, peak memory, the
# files and bytes listed by `scan_image deep` (IMAGES, when set, names the
# images measured). Images are made
# once in WORKDIR (default /tmp/salvor-bench/zipdesc) and reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="$(mkdir -p "${2:-/tmp/salvor-bench/zipdesc}" && readlink -f "${2:-/tmp/salvor-bench/zipdesc}")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
fixtures="$here/../../tests/fixtures"
for tool in zip:zip python3:python3; do
    command -v "${tool%%:*}" > /dev/null || { echo "zipdesc_bench: ${tool%%:*} missing (package ${tool#*:})" >&2; exit 2; }
done
command -v /usr/bin/time > /dev/null || { echo "zipdesc_bench: /usr/bin/time missing (package time)" >&2; exit 2; }
cd "$work"
export TZ=UTC
for mib in 2 4 8 16; do
    [ -f "desc$mib.img" ] || python3 "$fixtures/carve_floods.py" zipdesc "$mib" "desc$mib.img"
    [ -f "stream$mib.img" ] && continue
    # 30 + 6 + 460 + 16 bytes a member, 52 more for its directory entry;
    # up to 40 sectors of random bytes before the archive.
    n=$(( ((mib << 20) - 40 * 512 - 22) / 564 ))
    rm -rf "members$mib" && mkdir "members$mib"
    python3 - "members$mib" "$n" <<'PY'
import os, random, sys
rng = random.Random(int(sys.argv[2]))
for i in range(int(sys.argv[2])):
    with open(os.path.join(sys.argv[1], f"m{i:05d}"), "wb") as f:
        f.write(rng.randbytes(460))
    os.utime(os.path.join(sys.argv[1], f"m{i:05d}"), (1700000000, 1700000000))
PY
    (cd "members$mib" && zip -q -X -0 - m* | cat > "../stream$mib.zip")
    python3 "$fixtures/carve_members.py" place "stream$mib.img" "$mib" "stream$mib.zip"
    rm -rf "members$mib"
done
for mib in 8 16 32 64 128 256; do
    [ -f "from$mib.img" ] || python3 "$fixtures/carve_floods.py" mboxfrom "$mib" "from$mib.img"
    [ -f "fromend$mib.img" ] || python3 "$fixtures/carve_floods.py" mboxfromend "$mib" "fromend$mib.img"
    [ -f "parts$mib.img" ] || python3 "$fixtures/carve_floods.py" mboxparts "$mib" "parts$mib.img"
done
for img in ${IMAGES:-desc2 desc4 desc8 desc16 stream2 stream4 stream8 stream16 from8 from16 from32 from64 from128 from256 \
    fromend8 fromend16 fromend32 fromend64 fromend128 fromend256 parts8 parts16 parts32 parts64 parts128 parts256}; do
    secs=""
    for _ in $(seq 1 "${RUNS:-1}"); do
        /usr/bin/time -f '%e %M %U %S' -o time.txt "$probe" deep "$img.img" > out.txt 2> /dev/null || true
        read -r s k user sys < time.txt
        if [ -z "$secs" ] || awk -v a="$s" -v b="$secs" 'BEGIN { exit !(a < b) }'; then
            secs="$s" kib="$k" cpu="$(awk -v u="$user" -v y="$sys" 'BEGIN { print u + y }')"
        fi
    done
    last="$(tail -n 1 out.txt)"
    bytes="$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<< "$last")"
    printf '%-9s seconds=%7.2f  cpu=%7.2f  peakMiB=%7.1f  files=%s  listedBytes=%s\n' "$img" "$secs" "$cpu" \
        "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$(sed -n 's/.* files=\([0-9]*\).*/\1/p' <<< "$last")" "${bytes:-0}"
done
