#!/usr/bin/env bash
# members_bench.sh SCAN_IMAGE [WORKDIR]
# The carver on archives whose members start on sector borders, each made by
# its tool and placed in a 64 MiB image of random bytes
# (tests/fixtures/carve_members.py): GNU tar of 5,000, 10,000, 20,000 and
# 40,000 small files (the time should at most double with the members), a
# tar of 100 photos made by ImageMagick, and a stored ZIP of 65,535 members;
# 1,000, 2,000 and 4,000 program streams back to back (two short ffmpeg
# `-f mpeg` streams in turn), and as many tars back to back (Python's
# tarfile), each stopped inside its last member, whose header claims 1 GiB
# (every tar but the first starts inside the member before it): each
# stream and tar is listed, in time and memory growing with the count alone.
# Prints per image the seconds, peak memory, the archives listed and the
# bytes listed by `scan_image deep`. Images are made once in WORKDIR
# (default /tmp/salvor-bench/members) and reused.
set -euo pipefail
probe="$(readlink -f "$1")"
work="$(mkdir -p "${2:-/tmp/salvor-bench/members}" && readlink -f "${2:-/tmp/salvor-bench/members}")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
place="$here/../../tests/fixtures/carve_members.py"
for tool in tar:tar zip:zip convert:imagemagick python3:python3 ffmpeg:ffmpeg; do
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
for n in 1000 2000 4000; do
    [ -f "mpg$n.img" ] && [ -f "tarstop$n.img" ] && continue
    for d in 0.2 0.3; do
        ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc=duration=$d:size=160x120:rate=25" \
            -f lavfi -i "sine=duration=$d" -c:v mpeg1video -c:a mp2 -fflags +bitexact -f mpeg "s$d.mpg"
    done
    python3 - "$n" <<'PY'
import io, sys, tarfile
n = int(sys.argv[1])
a, b = open("s0.2.mpg", "rb").read(), open("s0.3.mpg", "rb").read()
open(f"mpg{n}.mpg", "wb").write(b"".join(a if i % 2 == 0 else b for i in range(n)))
def stopped(i):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as t:
        for name, size in ((f"notes{i}.txt", 3000), (f"last{i}.bin", 1500)):
            info = tarfile.TarInfo(name)
            info.size, info.mtime = size, 1700000000
            t.addfile(info, io.BytesIO(bytes([65 + i % 26]) * size))
    data = bytearray(buf.getvalue()[:512 + 3072 + 512 + 1024])
    head = data[3584:4096]
    head[124:136] = b"%011o\0" % (1 << 30)
    head[148:156] = b" " * 8
    head[148:156] = b"%06o\0 " % sum(head)
    data[3584:4096] = head
    return bytes(data)
open(f"tarstop{n}.tar", "wb").write(b"".join(stopped(i) for i in range(n)))
PY
    for f in "mpg$n.mpg" "tarstop$n.tar"; do
        python3 "$place" place "${f%.*}.img" "$(( $(stat -c %s "$f") / 1048576 + 8 ))" "$f"
        rm -f "$f"
    done
done
for img in tar5000 tar10000 tar20000 tar40000 phototar zip65535 mpg1000 mpg2000 mpg4000 tarstop1000 tarstop2000 tarstop4000; do
    /usr/bin/time -f '%e %M' -o time.txt "$probe" deep "$img.img" > out.txt 2> /dev/null || true
    read -r secs kib < time.txt
    last="$(tail -n 1 out.txt)"
    archives="$(grep -ciE $'\t[0-9]+\t(tar|zip|mpg)/[^\t]*\\.(tar|zip|mpg)$' out.txt || true)"
    bytes="$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<< "$last")"
    printf '%-9s seconds=%7.2f  peakMiB=%7.1f  archives=%s  files=%s  listedMiB=%.1f\n' "$img" "$secs" \
        "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$archives" "$(sed -n 's/.* files=\([0-9]*\).*/\1/p' <<< "$last")" \
        "$(awk -v b="${bytes:-0}" 'BEGIN { print b / 1048576 }')"
done
