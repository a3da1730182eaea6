#!/usr/bin/env bash
# members_bench.sh SCAN_IMAGE [WORKDIR]
# The carver on archives whose members start on sector borders, each made by
# its tool and placed in a 64 MiB image of random bytes
# (tests/fixtures/carve_members.py): GNU tar of 5,000, 10,000, 20,000 and
# 40,000 small files (the time should at most double with the members), a
# tar of 100 photos made by ImageMagick, and a stored ZIP of 65,535 members.
# Prints per image the seconds, peak memory, the archives listed and the
# bytes listed by `scan_image deep`. Images are made once in WORKDIR
# (default /tmp/salvor-bench/members) and reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="$(mkdir -p "${2:-/tmp/salvor-bench/members}" && readlink -f "${2:-/tmp/salvor-bench/members}")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
place="$here/../../tests/fixtures/carve_members.py"
for tool in tar:tar zip:zip convert:imagemagick python3:python3; do
    command -v "${tool%%:*}" > /dev/null || { echo "members_bench: ${tool%%:*} missing (package ${tool#*:})" >&2; exit 2; }
done
command -v /usr/bin/time > /dev/null || { echo "members_bench: /usr/bin/time missing (package time)" >&2; exit 2; }
cd "$work"
export TZ=UTC
for n in 5000 10000 20000 40000; do
    [ -f "tar$n.img" ] && continue
    rm -rf "src$n" && mkdir "src$n"
    (cd "src$n" && seq 1 "$n" | awk '{ f = sprintf("f%05d.c", $1); print "int v" $1 " = " $1 ";" > f; close(f) }')
    tar --format=gnu -b1 --mtime=@1700000000 --sort=name -cf "tar$n.tar" "src$n"
    python3 "$place" place "tar$n.img" 64 "tar$n.tar"
    rm -rf "src$n"
done
if [ ! -f phototar.img ]; then
    rm -rf photos && mkdir photos
    for i in $(seq 1 100); do
        convert -seed "$i" -size "$((700 + i % 7 * 10))x560" plasma:fractal -quality 95 "photos/p$i.jpg"
    done
    tar --format=gnu -b1 --mtime=@1700000000 --sort=name -cf phototar.tar photos
    python3 "$place" place phototar.img 64 phototar.tar
fi
if [ ! -f zip65535.img ]; then
    rm -rf members && mkdir members
    (cd members && seq 0 65534 | awk '{ f = sprintf("m%05d", $1); printf "%d\n", $1 > f; close(f) }' && zip -q -X -0 ../zip65535.zip m*)
    python3 "$place" place zip65535.img 64 zip65535.zip
    rm -rf members
fi
for img in tar5000 tar10000 tar20000 tar40000 phototar zip65535; do
    /usr/bin/time -f '%e %M' -o time.txt "$probe" deep "$img.img" > out.txt 2> /dev/null || true
    read -r secs kib < time.txt
    last="$(tail -n 1 out.txt)"
    archives="$(grep -ciE $'\t[0-9]+\t(tar|zip)/[^\t]*\\.(tar|zip)$' out.txt || true)"
    bytes="$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<< "$last")"
    printf '%-9s seconds=%7.2f  peakMiB=%7.1f  archives=%s  files=%s  listedMiB=%.1f\n' "$img" "$secs" \
        "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$archives" "$(sed -n 's/.* files=\([0-9]*\).*/\1/p' <<< "$last")" \
        "$(awk -v b="${bytes:-0}" 'BEGIN { print b / 1048576 }')"
done
